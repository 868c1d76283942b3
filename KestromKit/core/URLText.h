#pragma once
// URL texts as the page and the content packages write them: the check a URL field must pass, and
// the path a served URL names.

#include <optional>
#include <string>
#include <string_view>

#include "KestromKit/model/Coding.h"

namespace kestrom {

/// True when `text` reads as a URL or relative reference: not empty, only the ASCII characters a
/// URL may carry (no blank, quote, angle bracket, backslash, caret, back-tick, brace or bar, no
/// control or non-ASCII byte), every "%" followed by two hex digits, at most one "#".
bool isURLText(std::string_view text);

/// The percent-decoded path of a URL text: scheme, authority, query and fragment removed, a
/// trailing "/" dropped ("http://h:1/a/b%20c/?q#f" gives "/a/b c", "x/y.srt" itself). Absent when
/// `text` is not URL text.
std::optional<std::string> urlPath(std::string_view text);

/// A URL field of a JSON record, kept as its text; reading fails unless `isURLText` accepts it.
struct URLString {
  std::string text;
  friend bool operator==(const URLString&, const URLString&) = default;
};

template <>
struct Coder<URLString> {
  static Decoded<URLString> read(const Json& j) {
    const auto* s = j.get_ptr<const Json::string_t*>();
    if (!s) return makeUnexpected(coding_detail::typeError(j, "String"));
    if (!isURLText(*s))
      return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {}, "Invalid URL string."});
    return URLString{*s};
  }
  static Json write(const URLString& v) { return v.text; }
};

}  // namespace kestrom

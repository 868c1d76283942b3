#pragma once
// A URL field of a JSON record: its text is checked by `isURLText` when it is read.

#include <string>

#include "KestromKit/base/URLText.h"
#include "KestromKit/model/Coding.h"

namespace kestrom {

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

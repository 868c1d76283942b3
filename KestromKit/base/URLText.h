#pragma once
// URL texts as the page and the content packages write them: the check a URL field must pass, and
// the path a served URL names. (The JSON field that holds one is model/URLString.h.)

#include <optional>
#include <string>
#include <string_view>

namespace kestrom {

/// True when `text` reads as a URL or relative reference: not empty, only the ASCII characters a
/// URL may carry (no blank, quote, angle bracket, backslash, caret, back-tick, brace or bar, no
/// control or non-ASCII byte), every "%" followed by two hex digits, at most one "#".
bool isURLText(std::string_view text);

/// The percent-decoded path of a URL text: scheme, authority, query and fragment removed, a
/// trailing "/" dropped ("http://h:1/a/b%20c/?q#f" gives "/a/b c", "x/y.srt" itself). Absent when
/// `text` is not URL text.
std::optional<std::string> urlPath(std::string_view text);

}  // namespace kestrom

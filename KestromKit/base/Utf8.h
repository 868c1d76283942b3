#pragma once
// The one UTF-8 check of the kit's byte parsers (multipart headers, subtitles).

#include <string_view>

namespace kestrom {

/// True when `bytes` is well-formed UTF-8: shortest forms only, no surrogates, nothing above
/// U+10FFFF. The empty text is valid.
bool isValidUtf8(std::string_view bytes);

}  // namespace kestrom

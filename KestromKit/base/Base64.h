#pragma once
// Base64 with the standard alphabet and padding, no line breaks: hub messages travel this way,
// and folder bookmarks are stored this way.

#include <optional>
#include <string>
#include <string_view>

namespace kestrom {

std::string base64Encode(std::string_view bytes);
/// None unless `text` is canonical Base64: standard alphabet, length a multiple of four, padding
/// only at the end.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace kestrom

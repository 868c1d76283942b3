#pragma once
// Bytes as the logs show them: two lower-case hex digits a byte, joined by dashes ("05-00-45").

#include <string>
#include <string_view>

namespace kestrom {

std::string hexText(std::string_view bytes);

}  // namespace kestrom

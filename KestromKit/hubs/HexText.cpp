#include "KestromKit/hubs/HexText.h"

namespace kestrom {

std::string hexText(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    if (!text.empty()) text += '-';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace kestrom

#include "KestromKit/host/HexColor.h"

#include <cctype>
#include <cstdint>

#include "platform/AsciiCase.h"

namespace kestrom {

namespace {

bool isAlphanumeric(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// Reads leading hexadecimal digits; stops at the first other character (a scanner's rule), and
// keeps the low 64 bits of an over-long run.
std::uint64_t scanHex(std::string_view text) {
  std::uint64_t value = 0;
  for (char c : text) {
    const int digit = asciiHexValue(c);
    if (digit < 0) break;
    value = (value << 4) | static_cast<std::uint64_t>(digit);
  }
  return value;
}

}  // namespace

RGBAColor hexColor(std::string_view text) {
  while (!text.empty() && !isAlphanumeric(text.front())) text.remove_prefix(1);
  while (!text.empty() && !isAlphanumeric(text.back())) text.remove_suffix(1);
  std::uint64_t v = scanHex(text);
  std::uint64_t r = 0, g = 0, b = 0, a = 255;
  switch (text.size()) {
    case 8:
      a = v >> 24;
      r = (v >> 16) & 255;
      g = (v >> 8) & 255;
      b = v & 255;
      break;
    case 6:
      r = v >> 16;
      g = (v >> 8) & 255;
      b = v & 255;
      break;
    case 3:
      r = (v >> 8) * 17;
      g = ((v >> 4) & 15) * 17;
      b = (v & 15) * 17;
      break;
    default:
      break;
  }
  return {r / 255.0, g / 255.0, b / 255.0, a / 255.0};
}

}  // namespace kestrom

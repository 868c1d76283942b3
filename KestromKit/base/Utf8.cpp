#include "KestromKit/base/Utf8.h"

#include <cstddef>
#include <cstdint>

namespace kestrom {

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra = 0;
    // The second byte's range carries the overlong, surrogate and upper-limit rules.
    std::uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead == 0xE0) {
      extra = 2, low = 0xA0;
    } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
      extra = 2;
    } else if (lead == 0xED) {
      extra = 2, high = 0x9F;
    } else if (lead == 0xF0) {
      extra = 3, low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      extra = 3;
    } else if (lead == 0xF4) {
      extra = 3, high = 0x8F;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    if (p[i + 1] < low || p[i + 1] > high) return false;
    for (std::size_t k = 2; k <= extra; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace kestrom

#pragma once
// The one letter-case comparison of the kit's protocol text (header names, range units, host
// names): ASCII only, as HTTP defines it, whatever the process locale says.

#include <string_view>

namespace kestrom {

/// True when `a` and `b` differ at most in the case of ASCII letters.
constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace kestrom

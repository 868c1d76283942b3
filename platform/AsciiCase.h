#pragma once
// The one letter-case and hex-digit handling of protocol text (header names, range units, host
// names, URL schemes, UUIDs, region codes, percent escapes): ASCII only, as the protocols define it, whatever the process
// locale says.

#include <string>
#include <string_view>

namespace kestrom {

/// `c` with an ASCII capital letter made small; every other byte as it is.
constexpr char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
/// `c` with an ASCII small letter made capital; every other byte as it is.
constexpr char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

/// The value of the hex digit `c` (either letter case); -1 for any other byte.
constexpr int asciiHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// True when `a` and `b` differ at most in the case of ASCII letters.
constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  return true;
}

/// `text` with its ASCII letters made small.
inline std::string asciiLowercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = asciiLower(c);
  return out;
}

/// `text` with its ASCII letters made capital.
inline std::string asciiUppercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = asciiUpper(c);
  return out;
}

}  // namespace kestrom

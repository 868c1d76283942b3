#include "KestromKit/base/Base64.h"

#include <array>
#include <cstdint>

namespace kestrom {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeReverse() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}

constexpr auto kReverse = makeReverse();

}  // namespace

std::string base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    std::uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                      static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (std::size_t rest = bytes.size() - i; rest > 0) {
    std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t v = 0;
    bool last = i + 4 == text.size();
    for (std::size_t j = 0; j < 4; ++j) {
      char c = text[i + j];
      if (last && j >= 4 - padding) {
        v <<= 6;
        continue;
      }
      auto d = kReverse[static_cast<unsigned char>(c)];
      if (d < 0) return std::nullopt;
      v = (v << 6) | static_cast<std::uint32_t>(d);
    }
    out += static_cast<char>((v >> 16) & 255);
    if (!last || padding < 2) out += static_cast<char>((v >> 8) & 255);
    if (!last || padding < 1) out += static_cast<char>(v & 255);
  }
  return out;
}

}  // namespace kestrom

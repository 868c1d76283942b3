#include "platform/log/RequestValue.h"

#include "platform/AsciiCase.h"

namespace kestrom::log {

namespace {

// The bytes of the character `text` starts with: 2 to 4 for a well-formed UTF-8 sequence, else 1
// (a byte that is no UTF-8 stands for itself).
std::size_t characterBytes(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = lead >= 0xf0 && lead <= 0xf4 ? 4 : lead >= 0xe0 && lead <= 0xef ? 3 : lead >= 0xc2 && lead < 0xe0 ? 2 : 1;
  if (length == 1 || text.size() < length) return 1;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) return 1;
  return length;
}

// `shown` as the line has it: whole when it is `complete` and short enough, else cut with the
// value's `length` behind.
std::string cut(std::string_view shown, std::size_t length, bool complete) {
  if (complete && shown.size() <= kMaxRequestValueBytes) return std::string(shown);
  std::size_t end = 0;
  while (end < shown.size()) {
    const std::size_t next = end + characterBytes(shown.substr(end));
    if (next > kMaxRequestValueBytes) break;
    end = next;
  }
  std::string out(shown.substr(0, end));
  out += "\u2026 (";
  out += std::to_string(length);
  out += " bytes)";
  return out;
}

}  // namespace

std::string requestValue(std::string_view value) { return cut(value, value.size(), true); }

std::string decodedRequestValue(std::string_view value) {
  // Only what the line can show is decoded (and the rest of a character across the cut): every
  // three bytes sent make at least one.
  const std::string_view head = value.substr(0, 3 * (kMaxRequestValueBytes + 4));
  std::string decoded;
  decoded.reserve(head.size());
  for (std::size_t i = 0; i < head.size(); ++i) {
    const int high = i + 2 < head.size() && head[i] == '%' ? asciiHexValue(head[i + 1]) : -1;
    const int low = high >= 0 ? asciiHexValue(head[i + 2]) : -1;
    if (low < 0) {
      decoded += head[i];
      continue;
    }
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return cut(decoded, value.size(), head.size() == value.size());
}

}  // namespace kestrom::log

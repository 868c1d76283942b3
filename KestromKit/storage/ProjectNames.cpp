#include "KestromKit/storage/ProjectNames.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <unordered_set>

namespace kestrom::ProjectNames {

namespace {

/// Bytes left for the name in a 255-byte file-name component once " 123456789012" and a dot and
/// an extension of up to 24 bytes are added.
constexpr std::size_t kMaxNameBytes = 200;

/// Decodes one UTF-8 character at `i`; returns its length, or 0 when the bytes there are not
/// well-formed UTF-8.
std::size_t decodeOne(std::string_view s, std::size_t i, char32_t& out) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t length = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 ? 2 : 0;
  if (length == 0 || b0 > 0xF4 || i + length > s.size()) return 0;
  char32_t c = b0 & (0xFF >> (length + 1));
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) || (c >= 0xD800 && c <= 0xDFFF))
    return 0;
  out = c;
  return length;
}

std::string replaceInvalid(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    char32_t c = 0;
    std::size_t length = decodeOne(name, i, c);
    if (length == 0) {
      out += ' ';
      ++i;
      continue;
    }
    if (isInvalidFileNameCharacter(c))
      out += ' ';
    else
      out.append(name.substr(i, length));
    i += length;
  }
  return out;
}

/// The longest prefix of `s` of at most `limit` bytes that ends on a character boundary.
std::string cutAtBoundary(std::string s, std::size_t limit) {
  if (s.size() <= limit) return s;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  s.resize(end);
  return s;
}

std::string trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return std::string(s.substr(first, last - first + 1));
}

std::vector<std::string_view> words(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') ++i;
    std::size_t start = i;
    while (i < s.size() && s[i] != ' ') ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

/// A whole decimal integer with an optional sign that can still be counted on from.
bool readCounter(std::string_view word, std::int64_t& value) {
  std::string_view digits = word;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty()) return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  return error == std::errc{} && end == word.data() + word.size() && value < std::numeric_limits<std::int64_t>::max();
}

}  // namespace

bool isInvalidFileNameCharacter(char32_t c) {
  if (c == U':' || c == U'/') return true;
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;              // control characters
  if (c == 0x2028 || c == 0x2029) return true;                        // line and paragraph separators
  if (c == 0xAD || c == 0x61C || c == 0x180E || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
      (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xE0000 && c <= 0xE007F))
    return true;                                                      // format characters
  if ((c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE) return true;  // non-characters
  return false;
}

std::string cleanName(std::string_view name) {
  std::string cleaned = cutAtBoundary(replaceInvalid(name), kMaxNameBytes);
  if (cleaned == "." || cleaned == "..") cleaned.assign(cleaned.size(), ' ');
  return cleaned;
}

std::filesystem::path fileURLWithName(std::string_view name, const std::filesystem::path& url) {
  std::string component = cleanName(name);
  const auto extension = url.extension().string();  // ".kpr", or "" when there is none
  component += extension;
  return url.parent_path() / component;
}

std::filesystem::path nextAvailableName(const std::vector<std::string>& taken, const std::filesystem::path& url) {
  const std::string base = cleanName(url.stem().string());
  const std::unordered_set<std::string> takenSet(taken.begin(), taken.end());

  std::int64_t counter = 1;
  std::string stem = base;
  auto parts = words(base);
  if (std::int64_t last = 0; !parts.empty() && readCounter(parts.back(), last)) {
    counter = last + 1;
    stem.clear();
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      if (!stem.empty()) stem += ' ';
      stem += parts[i];
    }
  }
  std::string candidate = base;
  // Each round either returns or passes one taken name, so this ends within taken.size() + 1 rounds.
  while (takenSet.contains(candidate)) {
    if (counter == std::numeric_limits<std::int64_t>::max()) {  // count on after the whole name
      stem = base;
      counter = 1;
    }
    candidate = trimmed(stem + " " + std::to_string(counter));
    ++counter;
  }
  return fileURLWithName(candidate, url);
}

}  // namespace kestrom::ProjectNames

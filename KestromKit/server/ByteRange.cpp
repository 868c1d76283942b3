#include "KestromKit/server/ByteRange.h"

#include <limits>
#include <optional>

#include "platform/AsciiCase.h"

namespace kestrom {
namespace {

using Kind = ByteRangeSelection::Kind;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

/// Decimal digits only; a value beyond 64 bits saturates, which still compares correctly with
/// any file length.
std::optional<std::uint64_t> parseDigits(std::string_view text) {
  if (text.empty()) return std::nullopt;
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return value;
}

ByteRangeSelection part(std::uint64_t first, std::uint64_t last) { return {Kind::part, first, last}; }
ByteRangeSelection unsatisfiable() { return {Kind::unsatisfiable, 0, 0}; }
ByteRangeSelection whole() { return {Kind::whole, 0, 0}; }

}  // namespace

ByteRangeSelection selectByteRange(std::string_view range, std::uint64_t length) {
  const auto equals = range.find('=');
  if (equals == std::string_view::npos || !equalsIgnoringCase(trimBlanks(range.substr(0, equals)), "bytes"))
    return whole();

  // The list syntax allows empty elements and blanks around commas; more than one range is
  // answered with the whole file rather than a multipart body.
  std::optional<std::string_view> single;
  std::string_view rest = range.substr(equals + 1);
  for (;;) {
    const auto comma = rest.find(',');
    const auto element = trimBlanks(rest.substr(0, comma));
    if (!element.empty()) {
      if (single) return whole();
      single = element;
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (!single) return whole();

  const auto dash = single->find('-');
  if (dash == std::string_view::npos) return whole();
  const auto firstText = single->substr(0, dash);
  const auto lastText = single->substr(dash + 1);

  if (firstText.empty()) {  // "-K": the last K bytes
    const auto suffix = parseDigits(lastText);
    if (!suffix) return whole();
    if (*suffix == 0 || length == 0) return unsatisfiable();
    return part(*suffix >= length ? 0 : length - *suffix, length - 1);
  }
  const auto first = parseDigits(firstText);
  if (!first) return whole();
  std::optional<std::uint64_t> last;
  if (!lastText.empty()) {
    last = parseDigits(lastText);
    if (!last) return whole();
    if (*last < *first) return unsatisfiable();
  }
  if (*first >= length) return unsatisfiable();
  return part(*first, last && *last < length - 1 ? *last : length - 1);
}

}  // namespace kestrom

#include "KestromKit/server/HttpDate.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <limits>

namespace kestrom {

namespace {

constexpr std::size_t kLength = 29;  // "Sun, 06 Nov 1994 08:49:37 GMT"

// strftime would name days and months in the locale's language.
void format(std::int64_t seconds, std::array<char, kLength + 1>& out) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (!::gmtime_r(&time, &utc) || utc.tm_year + 1900 < 0 || utc.tm_year + 1900 > 9999) utc = std::tm{.tm_mday = 1, .tm_year = 70, .tm_wday = 4};
  std::snprintf(out.data(), out.size(), "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday], utc.tm_mday,
                kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

// Each thread keeps its own text, so answers on different threads share nothing.
struct Cache {
  std::int64_t second = std::numeric_limits<std::int64_t>::min();
  std::array<char, kLength + 1> text{};
};

thread_local Cache cache;

}  // namespace

std::string formatHttpDate(std::int64_t secondsSinceEpoch) {
  std::array<char, kLength + 1> text{};
  format(secondsSinceEpoch, text);
  return std::string(text.data(), kLength);
}

void appendHttpDate(std::string& out) {
  const std::int64_t now = std::time(nullptr);
  if (cache.second != now) {
    format(now, cache.text);
    cache.second = now;
  }
  out.append(cache.text.data(), kLength);
}

std::string httpDate() {
  std::string out;
  appendHttpDate(out);
  return out;
}

}  // namespace kestrom

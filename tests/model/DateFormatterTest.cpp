#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/model/DateFormatter.h"

namespace kestrom {
namespace {

using namespace std::chrono;

Date at(sys_days day, hours h, minutes m, seconds s, nanoseconds fraction) {
  return Date(duration_cast<Date::duration>(day.time_since_epoch() + h + m + s + fraction));
}

TEST(DateFormatterTest, WritesFixedInstantsInUtcWithMilliseconds) {
  struct Case {
    Date date;
    const char* text;
  };
  const std::vector<Case> cases = {
      {Date{}, "1970-01-01T00:00:00.000Z"},
      {at(2026y / 12 / 9, 4h, 6min, 1s, 123ms), "2026-12-09T04:06:01.123Z"},
      // Fractions are cut, never rounded up into the next second.
      {at(2026y / 12 / 31, 23h, 59min, 59s, 999999us), "2026-12-31T23:59:59.999Z"},
      {at(2000y / 2 / 29, 12h, 0min, 0s, 7ms), "2000-02-29T12:00:00.007Z"},
      {at(2024y / 1 / 1, 0h, 0min, 0s, 0ns), "2024-01-01T00:00:00.000Z"},
      // Before 1970 the day and the millisecond count down from the next day, as a calendar reads.
      {Date{} - 1ms, "1969-12-31T23:59:59.999Z"},
      {at(1955y / 11 / 5, 6h, 15min, 0s, 250ms), "1955-11-05T06:15:00.250Z"},
      {at(1900y / 3 / 1, 0h, 0min, 0s, 0ns), "1900-03-01T00:00:00.000Z"},
  };
  const auto& formatter = iso8601DateFormatter();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(formatter.string(c.date), c.text);
  }
  EXPECT_EQ(DateFormatter::kDateFormat, "yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ");
}

TEST(DateFormatterTest, OutputIgnoresTheUsersZoneAndLocale) {
  const Date instant = at(2026y / 7 / 1, 22h, 30min, 5s, 42ms);
  const std::string before = iso8601DateFormatter().string(instant);
  const char* oldTz = std::getenv("TZ");
  std::string savedTz = oldTz ? oldTz : "";
  setenv("TZ", "Pacific/Kiritimati", 1);  // UTC+14: a zone that would change the date
  tzset();
  std::setlocale(LC_ALL, "C.UTF-8");
  EXPECT_EQ(iso8601DateFormatter().string(instant), before);
  EXPECT_EQ(before, "2026-07-01T22:30:05.042Z");
  if (oldTz) setenv("TZ", savedTz.c_str(), 1);
  else unsetenv("TZ");
  tzset();
  std::setlocale(LC_ALL, "C");
}

TEST(DateFormatterTest, EveryAccessYieldsTheSameInstanceFromAnyThread) {
  std::vector<const DateFormatter*> seen(8, nullptr);
  std::vector<std::string> texts(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      seen[i] = &iso8601DateFormatter();
      for (int n = 0; n < 1000; ++n) texts[i] = seen[i]->string(Date{} + milliseconds(n));
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::set<const DateFormatter*>(seen.begin(), seen.end()).size(), 1u);
  EXPECT_EQ(seen[0], &iso8601DateFormatter());
  for (const auto& text : texts) EXPECT_EQ(text, "1970-01-01T00:00:00.999Z");
}

}  // namespace
}  // namespace kestrom

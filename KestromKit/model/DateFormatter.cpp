#include "KestromKit/model/DateFormatter.h"

#include <chrono>
#include <cstdio>

namespace kestrom {

std::string DateFormatter::string(Date date) const {
  using namespace std::chrono;
  // Floor, not truncation towards zero: an instant 1 ms before 1970 is 23:59:59.999 of the day
  // before, as a calendar reads it.
  const auto ms = floor<milliseconds>(date);
  const auto day = floor<days>(ms);
  const year_month_day ymd{day};
  const hh_mm_ss<milliseconds> time{ms - day};

  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return text;
}

const DateFormatter& iso8601DateFormatter() {
  static const DateFormatter shared;
  return shared;
}

}  // namespace kestrom

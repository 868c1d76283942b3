#pragma once
// The kit's one shared date formatter: ISO-8601 instants in UTC with milliseconds, the prefix of
// every line of the file log.

#include <string>
#include <string_view>

#include "KestromKit/model/Coding.h"

namespace kestrom {

/// Writes instants as "yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ" in UTC ("2026-12-09T04:06:01.123Z"): the
/// proleptic Gregorian (ISO-8601) calendar, fractions truncated to milliseconds, the offset always
/// "Z". It reads no locale, time zone or environment, and holds no mutable state, so any thread may
/// use it.
class DateFormatter {
 public:
  /// The pattern, as date-format text.
  static constexpr std::string_view kDateFormat = "yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ";

  std::string string(Date date) const;
};

/// The process-wide formatter: created on first use (safe against concurrent first use), never
/// released; every call yields the same instance.
const DateFormatter& iso8601DateFormatter();

}  // namespace kestrom

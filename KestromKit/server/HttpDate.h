#pragma once
// The "Date" of every answer of the host's two servers: the current time as an IMF-fixdate
// ("Sun, 06 Nov 1994 08:49:37 GMT"). Its text changes once a second, so each thread formats it at
// most once a second and keeps it: the first answer that finds its thread's text a second old
// formats the new one. Nothing runs in between, so an idle host does not wake for it.

#include <cstdint>
#include <string>

namespace kestrom {

/// `secondsSinceEpoch` (UTC) as an IMF-fixdate, in English whatever the locale.
std::string formatHttpDate(std::int64_t secondsSinceEpoch);

/// Appends the current time as an IMF-fixdate to `out`. Any thread.
void appendHttpDate(std::string& out);
/// The current time as an IMF-fixdate. Any thread.
std::string httpDate();

}  // namespace kestrom

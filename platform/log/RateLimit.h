#pragma once
// Keeps one kind of log line that anyone can cause at will (a refused request, a failed accept)
// from filling the disk: so many lines of the kind a second are written, the others only
// counted, and the next line written says how many were left out before it. Nothing runs in
// between: a count waits for the next line of its kind. Any thread.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/log/Log.h"

namespace kestrom::log {

class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  /// At most `linesPerSecond` lines (at least 1) a second. A second starts with the first line
  /// written after the last one ended, so a span of one second across the end of one may hold up
  /// to twice as many.
  explicit RateLimit(unsigned linesPerSecond = 3);
  RateLimit(const RateLimit&) = delete;
  RateLimit& operator=(const RateLimit&) = delete;

  /// Writes the line to `logger`, or only counts it. The arguments are formatted only when written.
  template <class... Args>
  void write(const Logger& logger, Level level, std::string_view format, const Args&... args) {
    const auto leftOut = admit(Clock::now());
    if (!leftOut) return;
    std::string text = Logger::format(format, args...);
    if (*leftOut > 0) text += " (" + std::to_string(*leftOut) + " more like it since the last one logged)";
    logger.write(level, std::move(text));
  }

 private:
  /// Empty when the line is to be left out; else how many were left out since the last one written.
  std::optional<std::uint64_t> admit(Clock::time_point now);

  const unsigned linesPerSecond_;
  std::mutex mutex_;  // guards everything below
  Clock::time_point secondEnds_{};
  unsigned written_ = 0;       // in the second that ends at `secondEnds_`
  std::uint64_t leftOut_ = 0;  // since the last line written
};

}  // namespace kestrom::log

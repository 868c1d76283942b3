#pragma once
// Keeps one kind of log line that anyone can cause at will (a refused request, a failed accept)
// from filling the disk: so many lines of the kind a second are written, the others only
// counted. The next line written says how many were left out before it; when none comes, the
// count gets a line of its own once its second is over, and at the latest when the limit goes.
// The limit runs nothing itself: it asks its owner to arm a one-shot timer for a count (only
// while one waits, so an idle host is never woken for it) and the owner's loop writes the count
// when the timer fires. Any thread; lines of a limit with a timer come from its owner's loop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/log/Log.h"

namespace kestrom::log {

class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  /// Asks the owner's loop to call `writeDueCount` at `due` (or soon after). Called on the thread
  /// of the line that started the count, outside the limit's lock, once for each count.
  using ArmTimer = std::function<void(Clock::time_point due)>;

  /// At most `linesPerSecond` lines (at least 1) a second. A second starts with the first line
  /// written after the last one ended, so a span of one second across the end of one may hold up
  /// to twice as many. Without `arm`, a count waits for the next line or the end of the limit.
  explicit RateLimit(unsigned linesPerSecond = 3, ArmTimer arm = {});
  /// Writes the count still waiting, if any.
  ~RateLimit();
  RateLimit(const RateLimit&) = delete;
  RateLimit& operator=(const RateLimit&) = delete;

  /// Writes the line to `logger`, or only counts it. The arguments are formatted only when written.
  template <class... Args>
  void write(const Logger& logger, Level level, std::string_view format, const Args&... args) {
    const Admission admission = admit(Clock::now());
    if (admission.armFor) {
      if (arm_) arm_(*admission.armFor);
      return;
    }
    if (!admission.written) return;
    std::string text = Logger::format(format, args...);
    remember(logger, level, text);
    if (admission.leftOut > 0)
      text += " (" + std::to_string(admission.leftOut) + " more like it since the last one logged)";
    logger.write(level, std::move(text));
  }

  /// When the count of the lines left out is due: the end of the second they were left out in.
  /// Empty while no count waits.
  std::optional<Clock::time_point> countDue() const;
  /// Writes the waiting count in a line of its own if it is due at `now` ("Left out 1997 more like
  /// it since the last one logged: " and the last line written); the line is one of the second
  /// that starts then.
  void writeDueCount(Clock::time_point now = Clock::now());
  /// Writes the waiting count in a line of its own, due or not (a stop).
  void writeCount();

  /// Writes the counts of `limits` that are due at `now`; returns when the next of their counts is
  /// due (empty when none waits), for the owner's loop to wait until.
  static std::optional<Clock::time_point> writeDueCounts(std::span<RateLimit* const> limits,
                                                         Clock::time_point now = Clock::now());

 private:
  struct Admission {
    bool written = false;                     // else only counted
    std::uint64_t leftOut = 0;                // since the last line written (when written)
    std::optional<Clock::time_point> armFor;  // counted, and the first of its count: due then
  };
  Admission admit(Clock::time_point now);
  /// Keeps what the count's own line names: the last line written, without its count.
  void remember(const Logger& logger, Level level, const std::string& text);
  /// Takes the waiting count (if due at `now`, or whenever `now` is empty) and writes its line.
  void writeCountLine(std::optional<Clock::time_point> now);

  const unsigned linesPerSecond_;
  const ArmTimer arm_;
  mutable std::mutex mutex_;  // guards everything below
  Clock::time_point secondEnds_{};
  unsigned written_ = 0;       // in the second that ends at `secondEnds_`
  std::uint64_t leftOut_ = 0;  // since the last line written
  // The last line written, for the count's own line.
  std::optional<Logger> logger_;
  Level level_ = Level::info;
  std::string lastLine_;
};

}  // namespace kestrom::log

#include "platform/log/RateLimit.h"

#include <algorithm>
#include <utility>

namespace kestrom::log {

RateLimit::RateLimit(unsigned linesPerSecond, ArmTimer arm)
    : linesPerSecond_(std::max(1u, linesPerSecond)), arm_(std::move(arm)) {}

RateLimit::~RateLimit() { writeCount(); }

RateLimit::Admission RateLimit::admit(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (now >= secondEnds_) {
    secondEnds_ = now + std::chrono::seconds(1);
    written_ = 0;
  }
  if (written_ >= linesPerSecond_) {
    // The count is due when the second ends; until then the next line may still carry it.
    if (leftOut_++ == 0) return {false, 0, secondEnds_};
    return {};
  }
  ++written_;
  return {true, std::exchange(leftOut_, 0), std::nullopt};
}

void RateLimit::remember(const Logger& logger, Level level, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!logger_ || logger_->subsystem() != logger.subsystem() || logger_->category() != logger.category())
    logger_.emplace(logger);
  level_ = level;
  lastLine_ = text;
}

std::optional<RateLimit::Clock::time_point> RateLimit::countDue() const {
  std::lock_guard lock(mutex_);
  if (leftOut_ == 0) return std::nullopt;
  return secondEnds_;
}

void RateLimit::writeDueCount(Clock::time_point now) { writeCountLine(now); }

void RateLimit::writeCount() { writeCountLine(std::nullopt); }

std::optional<RateLimit::Clock::time_point> RateLimit::writeDueCounts(std::span<RateLimit* const> limits,
                                                                     Clock::time_point now) {
  std::optional<Clock::time_point> next;
  for (auto* limit : limits) {
    limit->writeDueCount(now);
    if (const auto due = limit->countDue()) next = next ? std::min(*next, *due) : *due;
  }
  return next;
}

void RateLimit::writeCountLine(std::optional<Clock::time_point> now) {
  std::uint64_t leftOut = 0;
  std::optional<Logger> logger;
  Level level = Level::info;
  std::string line;
  {
    std::lock_guard lock(mutex_);
    if (leftOut_ == 0 || !logger_ || (now && *now < secondEnds_)) return;
    leftOut = std::exchange(leftOut_, 0);
    if (now) {  // the count's line is the first of a new second
      secondEnds_ = *now + std::chrono::seconds(1);
      written_ = 1;
    }
    logger = logger_;
    level = level_;
    line = lastLine_;
  }
  logger->write(level, "Left out " + std::to_string(leftOut) + " more like it since the last one logged: " + line);
}

}  // namespace kestrom::log

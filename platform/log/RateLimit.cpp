#include "platform/log/RateLimit.h"

#include <algorithm>
#include <utility>

namespace kestrom::log {

RateLimit::RateLimit(unsigned linesPerSecond) : linesPerSecond_(std::max(1u, linesPerSecond)) {}

std::optional<std::uint64_t> RateLimit::admit(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (now >= secondEnds_) {
    secondEnds_ = now + std::chrono::seconds(1);
    written_ = 0;
  }
  if (written_ >= linesPerSecond_) {
    ++leftOut_;
    return std::nullopt;
  }
  ++written_;
  return std::exchange(leftOut_, 0);
}

}  // namespace kestrom::log

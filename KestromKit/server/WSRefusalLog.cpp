#include "KestromKit/server/WSRefusalLog.h"

#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

WSRefusalLog::WSRefusalLog(wsnet::net::io_context& io) : io_(io), timer_(io) {}

log::RateLimit::ArmTimer WSRefusalLog::countTimer() {
  return [this](Clock::time_point due) { arm(due); };
}

void WSRefusalLog::arm(Clock::time_point due) {
  KESTROM_ASSERT_ON_HOME(io_.get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  if (stopped_ || (armedFor_ && *armedFor_ <= due)) return;
  armedFor_ = due;
  timer_.expires_at(due);  // cancels an earlier wait for a later moment
  timer_.async_wait([weak = weak_from_this()](const wsnet::error_code& ec) {
    if (auto self = weak.lock()) self->onTimer(ec);
  });
}

void WSRefusalLog::onTimer(const wsnet::error_code& ec) {
  if (wsnet::isError(ec, wsnet::errors::aborted) || stopped_) return;
  armedFor_.reset();
  if (const auto due = log::RateLimit::writeDueCounts(limits())) arm(*due);
}

void WSRefusalLog::stop() {
  stopped_ = true;
  armedFor_.reset();
  timer_.cancel();
  for (auto* limit : limits()) limit->writeCount();
}

}  // namespace kestrom

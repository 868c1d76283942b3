#pragma once
// The log lines of the WebSocket server that anyone can cause at will: refused upgrades and
// accepts that fail for want of descriptors, a few lines a second of each kind and the rest
// counted. A count is written once its second is over by a one-shot timer on the I/O thread,
// armed only while a count waits, so an idle server is never woken for it; a stop writes the
// counts at once. Home: the server's I/O thread, where every line is written. Owner: the listener
// and the connections of one start, shared; the timer holds it only weakly.

#include <array>
#include <memory>
#include <optional>

#include "KestromKit/server/BeastNet.h"
#include "platform/log/RateLimit.h"

namespace kestrom {

class WSRefusalLog : public std::enable_shared_from_this<WSRefusalLog> {
 public:
  explicit WSRefusalLog(wsnet::net::io_context& io);
  WSRefusalLog(const WSRefusalLog&) = delete;
  WSRefusalLog& operator=(const WSRefusalLog&) = delete;

  log::RateLimit otherSite{3, countTimer()}, noCookie{3, countTimer()}, noRoom{3, countTimer()};
  log::RateLimit shortage{1, countTimer()};

  /// Writes every waiting count now and arms no timer after it: a count of lines still written
  /// (by connections of this start that finish their upgrade) is written when the log goes.
  void stop();

 private:
  using Clock = log::RateLimit::Clock;
  log::RateLimit::ArmTimer countTimer();
  std::array<log::RateLimit*, 4> limits() { return {&otherSite, &noCookie, &noRoom, &shortage}; }
  void arm(Clock::time_point due);
  void onTimer(const wsnet::error_code& ec);

  wsnet::net::io_context& io_;
  wsnet::net::steady_timer timer_;
  std::optional<Clock::time_point> armedFor_;  // the timer waits until then
  bool stopped_ = false;
};

}  // namespace kestrom

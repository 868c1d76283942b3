#pragma once
// The run loop of the local HTTP server for one listening socket: every connection until its head
// is complete. It accepts, reads heads, answers those that fail a check and every "/debug",
// answers a checked request for a small static file itself when the socket takes the whole answer
// at once, and hands every other request to the workers. Held connections are kept in the order
// they came; as every one has the same time limit, the oldest is always the first due. Out of
// descriptors with nothing to shed, it stops watching the listening socket for a moment. Its
// refusals reach the log only a few lines a second of each kind; the count of the others is
// written when its second is over (the loop wakes for it only while one waits) and when the loop
// ends. Run-loop thread only.

#include <array>
#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "KestromKit/server/WebServer.h"
#include "platform/log/RateLimit.h"
#include "platform/tcp/DescriptorLimit.h"

namespace kestrom {

class WebServer::HeadLoop {
 public:
  HeadLoop(WebServer& server, tcp::TCPServer& listener);
  ~HeadLoop();
  HeadLoop(const HeadLoop&) = delete;
  HeadLoop& operator=(const HeadLoop&) = delete;

  bool ready() const { return epoll_ >= 0; }
  /// Until the listening socket fails (true) or the server stops (false).
  bool run();

 private:
  using Clock = std::chrono::steady_clock;
  struct Connection;
  using List = std::list<Connection>;
  struct Connection {
    int fd = -1;
    List::iterator self;
    Clock::time_point deadline;
    Clock::time_point firstByte;
    std::string bytes;
    bool watched = false;   // registered with epoll
    bool readAll = false;   // the read just made emptied the socket's input
    bool draining = false;  // answered: what it still sends is read and dropped
    std::size_t drained = 0;
  };

  const WebServerLimits& limits() const { return server_.limits_; }
  int timeoutMs() const;
  /// False when the listening socket is no longer usable.
  bool acceptWaiting();
  void add(int fd);
  bool watch(List::iterator c);
  void close(List::iterator c, List& from);
  void readHead(List::iterator c);
  void headTooLarge(List::iterator c);
  void quiet(List::iterator c);
  /// The head is complete, or all that came before the peer closed or time ran out.
  void finishHead(List::iterator c);
  /// Routes a checked request for a static file and writes its answer, or hands it to a worker.
  void answerStaticFile(List::iterator c, WebServerRequestHead&& head);
  /// "/debug": redeems its code (or finds the cookie) and redirects, else refuses.
  void answerDebug(List::iterator c, WebServerRequestHead&& head);
  /// Answers a connection the loop will not hand on with an empty body, then lets it finish what
  /// it sends (bounded).
  void answer(List::iterator c, std::string_view statusText, const WebServerHeaders& headers = {});
  /// Stops watching the listening socket for a while (out of descriptors), or watches it again.
  void pauseListening(Clock::time_point now);
  void resumeListening(Clock::time_point now);
  /// After the whole answer: ends our side and lets the peer finish what it sends (bounded).
  void finishAnswered(List::iterator c);
  void drain(List::iterator c);
  void expire(Clock::time_point now);
  void handOn(List::iterator c, CheckedRequest checked);
  /// What a rate limit of the loop's log calls when a count starts to wait: the loop wakes for it.
  log::RateLimit::ArmTimer countTimer();
  std::array<log::RateLimit*, 9> rateLimits();
  void writeDueCounts(Clock::time_point now);

  WebServer& server_;
  tcp::TCPServer& listener_;
  const std::size_t mostHeld_;  // in `heads_`, and in `draining_`
  int epoll_;
  List heads_;     // still sending their head, oldest first
  List draining_;  // answered, oldest first
  List gone_;      // closed or handed on during this round of events: freed after it
  std::optional<Clock::time_point> listenAgainAt_;  // the listening socket is not watched until then
  std::optional<Clock::time_point> countsDue_;      // the first count of a rate limit below is due then
  tcp::DescriptorReserve reserve_;
  log::RateLimit malformedLog_, otherSiteLog_, noCookieLog_, debugBodyLog_, debugCodeLog_, headTooLargeLog_, quietLog_,
      sendFailedLog_;
  log::RateLimit shortageLog_{1, countTimer()};
  std::array<char, 16 * 1024> chunk_{};
  std::string answer_;
  std::unique_ptr<char[]> file_;  // a small file's bytes, sent with the answer's head
};

}  // namespace kestrom

#pragma once
// A listening TCP socket on one address (POSIX sockets, IPv4). Port 0 asks the system for a free
// port; `port()` tells which one after `listen()`. Thread rules: any number of threads may block in
// `accept` at once (each connection wakes exactly one of them); `shutdown` may be called from any
// other thread to wake them all for good. An owner that runs its own event loop waits for `fd()`
// to be readable and takes what is there with `acceptNow`. Owned by the web server, replaced on
// every restart.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/tcp/Result.h"

namespace kestrom::tcp {

class TCPServer {
 public:
  /// `acceptTimeout`: how long one `accept` waits before it reports `timedOut`; zero waits
  /// without limit; negative never waits (a socket for `acceptNow` in an event loop, which also
  /// hears of a connection only once its first bytes came, or a second passed without any).
  TCPServer(std::string address, std::int32_t port, std::chrono::milliseconds acceptTimeout = {});
  ~TCPServer();
  TCPServer(const TCPServer&) = delete;
  TCPServer& operator=(const TCPServer&) = delete;

  /// Binds and listens (address reuse on, close-on-exec).
  Result listen();
  /// The port bound by `listen`, else the port asked for.
  std::int32_t port() const { return port_; }

  enum class AcceptStatus {
    accepted,  // `fd` is the new connection: non-blocking, close-on-exec, the caller's to close
    timedOut,  // no connection within the accept time-out
    closed,    // the listening socket is no longer usable (shut down, closed, never listening)
    shortage,  // out of descriptors or memory for a moment (`acceptNow` only)
  };
  struct Accepted {
    AcceptStatus status = AcceptStatus::closed;
    int fd = -1;
  };
  /// Waits for the next connection. Passing failures (an aborted handshake, a signal, running out
  /// of descriptors for a moment) are retried here, the last after a short pause.
  Accepted accept();
  /// Takes a connection that is already waiting: `timedOut` when none is. Never waits on a
  /// socket made with a negative accept time-out. Passing failures other than a shortage are
  /// retried.
  Accepted acceptNow();
  /// Makes every blocked and later `accept` report `closed`. Any thread.
  void shutdown();
  /// The listening socket (-1 before `listen`), for an event loop to wait on; still owned here.
  int fd() const { return fd_.load(); }

 private:
  std::string address_;
  std::int32_t port_;
  std::chrono::milliseconds acceptTimeout_;
  std::atomic<int> fd_{-1};
  std::atomic<bool> shutDown_{false};
};

}  // namespace kestrom::tcp

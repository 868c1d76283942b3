#pragma once
// A listening TCP socket on one address (POSIX sockets, IPv4). Port 0 asks the system for a free
// port; `port()` tells which one after `listen()`. Thread rules: one thread blocks in `accept`;
// `shutdown` may be called from any other thread to wake it for good. Owned by the web server's
// run loop, replaced on every restart.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/tcp/Result.h"

namespace kestrom::tcp {

class TCPClient;

class TCPServer {
 public:
  TCPServer(std::string address, std::int32_t port);
  ~TCPServer();
  TCPServer(const TCPServer&) = delete;
  TCPServer& operator=(const TCPServer&) = delete;

  /// Binds and listens (address reuse on, close-on-exec).
  Result listen();
  /// The port bound by `listen`, else the port asked for.
  std::int32_t port() const { return port_; }
  /// Waits for the next connection; `timeoutMs` <= 0 waits without limit. Passing failures
  /// (an aborted handshake, a signal, running out of descriptors for a moment) are retried here;
  /// nullptr means the listening socket is no longer usable (shut down, closed, never listening).
  std::unique_ptr<TCPClient> accept(int timeoutMs = 0);
  /// Makes a blocked or later `accept` give nullptr. Any thread.
  void shutdown();

 private:
  std::string address_;
  std::int32_t port_;
  std::atomic<int> fd_{-1};
  std::atomic<bool> shutDown_{false};
};

}  // namespace kestrom::tcp

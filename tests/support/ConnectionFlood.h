#pragma once
// Another local program holding thousands of connections to the host's ports without the secret:
// half of them idle (they send nothing), half dripping a request head a byte at a time that never
// ends. Each connection the host closes is opened again a moment later. The connections live in
// child processes of their own, each under its own descriptor limit; run as root, the children
// become the user "nobody", so the host sees another local user.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

namespace kestrom::test {

class ConnectionFlood {
 public:
  struct Options {
    std::vector<unsigned> ports;
    int perPort = 2000;
    int processes = 8;
  };

  explicit ConnectionFlood(Options options);
  ~ConnectionFlood();
  ConnectionFlood(const ConnectionFlood&) = delete;
  ConnectionFlood& operator=(const ConnectionFlood&) = delete;

  /// Connections open now, over every child (each counts those it has opened and not seen close).
  long open() const;
  /// Connections opened so far, renewals included.
  long opened() const;
  /// Waits until at least `count` have been opened; false when `timeout` passed first.
  bool waitForOpened(long count, std::chrono::milliseconds timeout) const;
  /// Connections the host has closed so far (and the children opened anew).
  long renewed() const;

 private:
  struct Counters {
    std::atomic<long> open;
    std::atomic<long> opened;
    std::atomic<long> renewed;
  };
  std::vector<pid_t> children_;
  Counters* counters_ = nullptr;  // shared with the children, one per child
  int processes_ = 0;
};

}  // namespace kestrom::test

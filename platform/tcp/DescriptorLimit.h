#pragma once
// The process's limit of open descriptors. Every connection of both servers holds one, so the
// host raises the soft limit it inherited (often 1024) to the hard limit once at start.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kestrom::tcp {

/// A descriptor held back for when the process runs out of them. A listening socket whose
/// backlog holds connections the process has no descriptor for stays readable, and its accept
/// loop would spin; giving up the reserve for a moment lets it take one and close it, so the
/// flood is shed. When that does not help either (another thread took the descriptor given up),
/// the listener stops accepting for `kPause` and takes the reserve back when it can. One owner
/// thread.
class DescriptorReserve {
 public:
  /// How long a listener out of descriptors, with nothing it could shed, stops accepting: long
  /// enough not to spin, short enough to serve the page soon after descriptors are free again.
  static constexpr std::chrono::milliseconds kPause{100};

  DescriptorReserve();
  ~DescriptorReserve();
  DescriptorReserve(const DescriptorReserve&) = delete;
  DescriptorReserve& operator=(const DescriptorReserve&) = delete;

  /// Gives up the reserve, accepts one connection waiting on `listeningFd` and closes it at once,
  /// then takes the reserve back. False when no connection was taken.
  bool acceptAndClose(int listeningFd);
  /// Takes the reserve back if an earlier attempt found no descriptor for it: the listener calls
  /// it on every round of its loop.
  void replenish();

 private:
  int fd_ = -1;
};

/// Raises the soft RLIMIT_NOFILE to the hard one; returns the soft limit in force afterwards
/// (0 when it cannot be read).
std::uint64_t raiseDescriptorLimit();

/// The size of each of the servers' three lists of connections that anyone may hold without the
/// session secret (heads still coming in, refused ones still sending, WebSocket upgrades not yet
/// asked for), from the soft RLIMIT_NOFILE in force now (the host raises it before its servers
/// start): together a quarter of it at most, so another user cannot leave the page without
/// descriptors; each at least 8 and at most `most`.
std::size_t heldConnectionCap(std::size_t most);

}  // namespace kestrom::tcp

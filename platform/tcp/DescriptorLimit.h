#pragma once
// The process's limit of open descriptors. Every connection of both servers holds one, so the
// host raises the soft limit it inherited (often 1024) to the hard limit once at start.

#include <cstdint>

namespace kestrom::tcp {

/// A descriptor held back for when the process runs out of them. A listening socket whose
/// backlog holds connections the process has no descriptor for stays readable, and its accept
/// loop would spin; giving up the reserve for a moment lets it take one and close it, so the
/// flood is shed. One owner thread.
class DescriptorReserve {
 public:
  DescriptorReserve();
  ~DescriptorReserve();
  DescriptorReserve(const DescriptorReserve&) = delete;
  DescriptorReserve& operator=(const DescriptorReserve&) = delete;

  /// Gives up the reserve, accepts one connection waiting on `listeningFd` and closes it at once,
  /// then takes the reserve back. False when no connection was taken.
  bool acceptAndClose(int listeningFd);

 private:
  int fd_ = -1;
};

/// Raises the soft RLIMIT_NOFILE to the hard one; returns the soft limit in force afterwards
/// (0 when it cannot be read).
std::uint64_t raiseDescriptorLimit();

}  // namespace kestrom::tcp

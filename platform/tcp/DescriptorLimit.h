#pragma once
// The process's limit of open descriptors. Every connection of both servers holds one, so the
// host raises the soft limit it inherited (often 1024) to the hard limit once at start.

#include <cstdint>

namespace kestrom::tcp {

/// Raises the soft RLIMIT_NOFILE to the hard one; returns the soft limit in force afterwards
/// (0 when it cannot be read).
std::uint64_t raiseDescriptorLimit();

}  // namespace kestrom::tcp

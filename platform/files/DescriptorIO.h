#pragma once
// The loops that move a whole buffer through a file descriptor: `writeAll` for atomic files, the
// file log and spooled request bodies, `readFully` for the file bytes the local HTTP server sends
// with an answer. Any thread.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <system_error>

#include "platform/Expected.h"

namespace kestrom::files {

/// Writes all of `bytes` to `fd`, retrying short writes and interruptions. A write that makes no
/// progress fails with EIO instead of looping.
[[nodiscard]] Expected<void, std::error_code> writeAll(int fd, std::string_view bytes);

/// Reads `length` bytes of `fd` from `offset` into `into` (pread: the file position stays),
/// retrying short reads and interruptions; false when the file ends early or fails.
[[nodiscard]] bool readFully(int fd, char* into, std::uint64_t offset, std::size_t length);

}  // namespace kestrom::files

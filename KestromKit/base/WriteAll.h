#pragma once
// The one loop that writes a whole buffer to a file descriptor (atomic files, the file log,
// spooled request bodies). Any thread.

#include <string_view>
#include <system_error>

#include "KestromKit/base/Expected.h"

namespace kestrom {

/// Writes all of `bytes` to `fd`, retrying short writes and interruptions. A write that makes no
/// progress fails with EIO instead of looping.
[[nodiscard]] Expected<void, std::error_code> writeAll(int fd, std::string_view bytes);

}  // namespace kestrom

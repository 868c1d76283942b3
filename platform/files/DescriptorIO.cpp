#include "platform/files/DescriptorIO.h"

#include <unistd.h>

#include <cerrno>

namespace kestrom::files {

Expected<void, std::error_code> writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return makeUnexpected(std::error_code(errno, std::generic_category()));
    if (n == 0) return makeUnexpected(std::make_error_code(std::errc::io_error));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

bool readFully(int fd, char* into, std::uint64_t offset, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const auto n = ::pread(fd, into + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace kestrom::files

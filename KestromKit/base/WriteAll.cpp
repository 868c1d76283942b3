#include "KestromKit/base/WriteAll.h"

#include <unistd.h>

#include <cerrno>

namespace kestrom {

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

}  // namespace kestrom

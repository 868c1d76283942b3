#include "platform/fdwatch/StreamIo.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrom::fdwatch {

std::string describeError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

std::optional<int> writeAvailable(int fd, std::string_view bytes, std::size_t& written, Transfer how) {
  while (written < bytes.size()) {
    const char* from = bytes.data() + written;
    const std::size_t size = bytes.size() - written;
    const ssize_t n = how == Transfer::send ? ::send(fd, from, size, MSG_NOSIGNAL | MSG_DONTWAIT)
                                            : ::write(fd, from, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
      return errno;
    }
    written += static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

ReadEnd readTurn(std::size_t chunkBytes, int reads,
                 const std::function<std::optional<ReadResult>(char* buffer, std::size_t size)>& readOnce,
                 const std::function<void(std::string bytes)>& data) {
  std::string buffer(chunkBytes, '\0');
  for (int turn = 0; turn < reads; ++turn) {
    const std::optional<ReadResult> result = readOnce(buffer.data(), buffer.size());
    if (!result) return {ReadEnd::Kind::stopped};
    if (result->count > 0) {
      if (data) data(buffer.substr(0, static_cast<std::size_t>(result->count)));
    } else if (result->count == 0) {
      return {ReadEnd::Kind::endOfFile};
    } else if (result->error == EINTR) {
      continue;
    } else if (result->error == EAGAIN || result->error == EWOULDBLOCK) {
      return {ReadEnd::Kind::drained};
    } else {
      return {ReadEnd::Kind::failed, result->error};
    }
  }
  return {ReadEnd::Kind::drained};
}

}  // namespace kestrom::fdwatch

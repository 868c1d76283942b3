#include "platform/bluetooth/RfcommStream.h"

#include <fcntl.h>

#include <cerrno>
#include <optional>
#include <utility>

namespace kestrom::bluetooth {

Expected<std::shared_ptr<RfcommStream>, std::string> RfcommStream::open(OwnedFd socket, const std::string& label,
                                                                             Handlers handlers) {
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return makeUnexpected(fdwatch::describeError("cannot make the socket non-blocking", errno));
  }
  std::shared_ptr<RfcommStream> stream(new RfcommStream(socket.release(), std::move(handlers)));
  if (std::optional<std::string> error = stream->watch(label)) {
    return makeUnexpected("cannot watch the socket: " + *error);
  }
  return stream;
}

RfcommStream::RfcommStream(int fd, Handlers handlers)
    : DescriptorStream(fd,
                       Transfer{.socket = true, .readChunkBytes = 4096, .readsPerTurn = 16,
                                .endOfData = "the hub closed the link"},
                       std::move(handlers)) {}

}  // namespace kestrom::bluetooth

#include "KestromKit/hubs/RfcommChannel.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace kestrom {

namespace {

constexpr std::size_t kReadChunkBytes = 4096;
constexpr int kReadsPerTurn = 16;  // then other work of the watch gets its turn

std::string describe(const std::string& what, int error) { return what + ": " + std::strerror(error); }

}  // namespace

std::shared_ptr<RfcommChannel> RfcommChannel::open(OwnedFd socket, const std::string& label, Handlers handlers,
                                                   std::string* error) {
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    if (error) *error = describe("cannot make the socket non-blocking", errno);
    return nullptr;
  }
  const int fd = socket.get();
  std::shared_ptr<RfcommChannel> channel(new RfcommChannel(std::move(socket), std::move(handlers)));
  // The watch holds the channel only while a handler runs, so dropping it from one is safe.
  std::weak_ptr<RfcommChannel> weak = channel;
  fdwatch::FdWatch::Handlers watchHandlers{
      .readable = [weak] { if (auto c = weak.lock()) c->onReadable(); },
      .writable = [weak] { if (auto c = weak.lock()) c->onWritable(); },
      .hungUp = [weak](const std::string& reason) { if (auto c = weak.lock()) c->end(reason); },
  };
  try {
    std::lock_guard lock(channel->mutex_);  // handlers wait until watch_ is in place
    channel->watch_ = std::make_unique<fdwatch::FdWatch>(fd, label, std::move(watchHandlers));
  } catch (const std::system_error& e) {
    if (error) *error = std::string("cannot watch the socket: ") + e.what();
    return nullptr;
  }
  return channel;
}

RfcommChannel::RfcommChannel(OwnedFd socket, Handlers handlers)
    : handlers_(std::move(handlers)), socket_(std::move(socket)) {}

RfcommChannel::~RfcommChannel() { close(); }

bool RfcommChannel::write(std::string piece) {
  std::optional<std::string> failure;
  {
    std::lock_guard lock(mutex_);
    if (closed_ || piece_) return false;
    piece_ = std::move(piece);
    written_ = 0;
    if (writeSome(failure)) {
      watch_->setWantWritable(true);  // the rest goes when the socket has room
      return true;
    }
    piece_.reset();
  }
  if (handlers_.written) handlers_.written(std::move(failure));
  return true;
}

bool RfcommChannel::writeSome(std::optional<std::string>& failure) {
  while (written_ < piece_->size()) {
    const ssize_t n = ::send(socket_.get(), piece_->data() + written_, piece_->size() - written_,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      failure = describe("writing failed", errno);
      return false;
    }
    written_ += static_cast<std::size_t>(n);
  }
  return false;
}

void RfcommChannel::onWritable() {
  std::optional<std::string> failure;
  {
    std::lock_guard lock(mutex_);
    if (closed_ || !piece_) {
      if (watch_) watch_->setWantWritable(false);
      return;
    }
    if (writeSome(failure)) return;
    watch_->setWantWritable(false);
    piece_.reset();
  }
  if (handlers_.written) handlers_.written(std::move(failure));
}

void RfcommChannel::close() {
  std::unique_ptr<fdwatch::FdWatch> watch;
  OwnedFd socket;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    piece_.reset();
    watch = std::move(watch_);
    socket = std::move(socket_);
  }
  watch.reset();  // waits for a running handler, unless this is one
}

bool RfcommChannel::isOpen() const {
  std::lock_guard lock(mutex_);
  return !closed_;
}

void RfcommChannel::onReadable() {
  std::string buffer(kReadChunkBytes, '\0');
  for (int turn = 0; turn < kReadsPerTurn; ++turn) {
    ssize_t n = 0;
    int error = 0;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      n = ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      error = errno;
    }
    if (n > 0) {
      if (handlers_.data) handlers_.data(buffer.substr(0, static_cast<std::size_t>(n)));
    } else if (n == 0) {
      return end("the hub closed the link");
    } else if (error == EINTR) {
      continue;
    } else if (error == EAGAIN || error == EWOULDBLOCK) {
      return;
    } else {
      return end(describe("reading failed", error));
    }
  }
}

void RfcommChannel::end(const std::string& reason) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    piece_.reset();
    watch_->stop();  // we run on its thread: it ends once this handler returns
    socket_.reset();
  }
  if (handlers_.closed) handlers_.closed(reason);
}

}  // namespace kestrom

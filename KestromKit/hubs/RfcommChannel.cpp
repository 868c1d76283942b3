#include "KestromKit/hubs/RfcommChannel.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/fdwatch/StreamIo.h"

namespace kestrom {

namespace {

constexpr std::size_t kReadChunkBytes = 4096;
constexpr int kReadsPerTurn = 16;  // then other work of the watch gets its turn

using fdwatch::describeError;

}  // namespace

std::shared_ptr<RfcommChannel> RfcommChannel::open(OwnedFd socket, const std::string& label, Handlers handlers,
                                                   std::string* error) {
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    if (error) *error = describeError("cannot make the socket non-blocking", errno);
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
  if (std::optional<int> error = fdwatch::writeAvailable(socket_.get(), *piece_, written_, fdwatch::Transfer::send)) {
    failure = describeError("writing failed", *error);
    return false;
  }
  return written_ < piece_->size();
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
  const fdwatch::ReadEnd turn = fdwatch::readTurn(
      kReadChunkBytes, kReadsPerTurn,
      [this](char* buffer, std::size_t size) -> std::optional<fdwatch::ReadResult> {
        std::lock_guard lock(mutex_);
        if (closed_) return std::nullopt;
        const ssize_t n = ::recv(socket_.get(), buffer, size, MSG_DONTWAIT);
        return fdwatch::ReadResult{n, errno};
      },
      handlers_.data);
  if (turn.kind == fdwatch::ReadEnd::Kind::endOfFile) {
    end("the hub closed the link");
  } else if (turn.kind == fdwatch::ReadEnd::Kind::failed) {
    end(describeError("reading failed", turn.error));
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

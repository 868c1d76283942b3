#include "platform/fdwatch/DescriptorStream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace kestrom::fdwatch {

namespace {

/// Writes `bytes` from `written` on to `fd`, advancing `written`, until all of it is written or
/// the descriptor is full (the rest waits for its next writable turn); interrupted writes are
/// retried. The error number when a write failed.
std::optional<int> writeAvailable(int fd, std::string_view bytes, std::size_t& written, bool socket) {
  while (written < bytes.size()) {
    const char* from = bytes.data() + written;
    const std::size_t size = bytes.size() - written;
    const ssize_t n = socket ? ::send(fd, from, size, MSG_NOSIGNAL | MSG_DONTWAIT) : ::write(fd, from, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
      return errno;
    }
    written += static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

}  // namespace

std::string describeError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

DescriptorStream::DescriptorStream(int fd, Transfer transfer, Handlers handlers)
    : transfer_(std::move(transfer)), handlers_(std::move(handlers)), fd_(fd) {}

DescriptorStream::~DescriptorStream() { close(); }

std::optional<std::string> DescriptorStream::watch(std::string label) {
  // The handlers hold the stream only while they run, so dropping it from a handler is safe.
  std::weak_ptr<DescriptorStream> weak = weak_from_this();
  FdWatch::Handlers watchHandlers{
      .readable = [weak] { if (auto s = weak.lock()) s->onReadable(); },
      .writable = [weak] { if (auto s = weak.lock()) s->onWritable(); },
      .hungUp = [weak](const std::string& reason) { if (auto s = weak.lock()) s->end(reason); },
  };
  try {
    std::lock_guard lock(mutex_);  // handlers wait until watch_ is in place
    watch_ = std::make_unique<FdWatch>(fd_, std::move(label), std::move(watchHandlers));
  } catch (const std::system_error& e) {
    return std::string(e.what());  // the destructor closes the descriptor
  }
  return std::nullopt;
}

void DescriptorStream::write(std::string bytes, WriteCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    if (!closed_) {
      pending_.push_back({std::move(bytes), 0, std::move(completion)});
      watch_->setWantWritable(true);
      return;
    }
  }
  if (completion) completion("the stream is closed");
}

void DescriptorStream::close() {
  std::unique_ptr<FdWatch> watch;
  std::deque<PendingWrite> pending;
  int fd = -1;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    watch = std::move(watch_);
    pending = std::move(pending_);
    fd = std::exchange(fd_, -1);
  }
  watch.reset();  // waits for a running handler, unless this is one
  if (fd >= 0) ::close(fd);
  fail(std::move(pending), "the stream was closed");
}

bool DescriptorStream::isOpen() const {
  std::lock_guard lock(mutex_);
  return !closed_;
}

void DescriptorStream::onReadable() {
  std::string buffer(transfer_.readChunkBytes, '\0');
  for (int turn = 0; turn < transfer_.readsPerTurn; ++turn) {
    ssize_t n = 0;
    int error = 0;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      n = transfer_.socket ? ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT)
                           : ::read(fd_, buffer.data(), buffer.size());
      error = errno;
    }
    if (n > 0) {
      if (handlers_.data) handlers_.data(buffer.substr(0, static_cast<std::size_t>(n)));
    } else if (n == 0) {
      end(transfer_.endOfData);
      return;
    } else if (error == EINTR) {
      continue;
    } else if (error == EAGAIN || error == EWOULDBLOCK) {
      return;
    } else {
      end(describeError("reading failed", error));  // EIO once a serial device is unplugged
      return;
    }
  }
}

void DescriptorStream::onWritable() {
  std::vector<WriteCompletion> done;
  std::optional<std::string> failure;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    while (!pending_.empty()) {
      PendingWrite& front = pending_.front();
      if (std::optional<int> error = writeAvailable(fd_, front.bytes, front.written, transfer_.socket)) {
        failure = describeError("writing failed", *error);
        break;
      }
      if (front.written < front.bytes.size()) break;  // full: the watch calls again when there is room
      done.push_back(std::move(front.completion));
      pending_.pop_front();
    }
    if (pending_.empty()) watch_->setWantWritable(false);
  }
  for (WriteCompletion& completion : done) {
    if (completion) completion(std::nullopt);
  }
  if (failure) end(*failure);
}

void DescriptorStream::end(const std::string& reason) {
  std::deque<PendingWrite> pending;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    pending = std::move(pending_);
    watch_->stop();  // we run on its thread: it ends once this handler returns
    ::close(std::exchange(fd_, -1));
  }
  fail(std::move(pending), reason);
  if (handlers_.closed) handlers_.closed(reason);
}

void DescriptorStream::fail(std::deque<PendingWrite> writes, const std::string& reason) {
  for (PendingWrite& pending : writes) {
    if (pending.completion) pending.completion(reason);
  }
}

}  // namespace kestrom::fdwatch

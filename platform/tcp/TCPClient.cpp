#include "platform/tcp/TCPClient.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>

namespace kestrom::tcp {

namespace {

constexpr std::size_t kSendFileChunk = 1 << 20;

thread_local bool sigpipeKeptBlocked = false;

// Takes a SIGPIPE that a failed sendfile(2) left pending on this thread (SIGPIPE blocked).
void consumePendingSigpipe() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  timespec zero{0, 0};
  while (sigtimedwait(&pipe, nullptr, &zero) == SIGPIPE) {
  }
}

// sendfile(2) has no MSG_NOSIGNAL: block SIGPIPE on this thread for the call and swallow the one a
// closed peer raises, leaving whatever mask and pending signals the thread had before.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe, &oldMask_);
  }
  ~SigpipeGuard() {
    if (!wasPending_) consumePendingSigpipe();
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t oldMask_{};
  bool wasPending_ = false;
};

int pollFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  while (true) {
    int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ready;
    return p.revents;
  }
}

}  // namespace

void keepSigpipeBlockedOnThisThread() {
  if (sigpipeKeptBlocked) return;
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigpipeKeptBlocked = pthread_sigmask(SIG_BLOCK, &pipe, nullptr) == 0;
}

TCPClient::TCPClient(int fd) : fd_(fd) {
  int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

TCPClient::~TCPClient() { close(); }

std::optional<std::int32_t> TCPClient::bytesAvailable() const {
  int count = 0;
  if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &count) != 0) return std::nullopt;
  return count;
}

TCPClient::ReadResult TCPClient::read(std::size_t maxCount, int timeoutMs) {
  ReadResult result;
  if (fd_ < 0 || maxCount == 0) return result;
  auto buffer = std::make_unique_for_overwrite<char[]>(maxCount);  // no zeroing of 64 KiB per read
  std::size_t count = 0;
  result.status = readInto(buffer.get(), maxCount, count, timeoutMs);
  if (result.status == ReadStatus::data) result.bytes.assign(buffer.get(), count);
  return result;
}

TCPClient::ReadStatus TCPClient::readInto(char* buffer, std::size_t capacity, std::size_t& count, int timeoutMs) {
  if (fd_ < 0 || capacity == 0) return ReadStatus::failed;
  bool waited = false;
  while (true) {
    // Read first: the bytes are usually there already, and waiting costs a system call.
    ssize_t n = ::recv(fd_, buffer, capacity, MSG_DONTWAIT);
    if (n > 0) {
      count = static_cast<std::size_t>(n);
      return ReadStatus::data;
    }
    if (n == 0) return ReadStatus::closed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadStatus::failed;
    if (waited) return ReadStatus::timedOut;  // woken without data: count it as a quiet peer
    int events = pollFor(fd_, POLLIN, timeoutMs);
    if (events == 0) return ReadStatus::timedOut;
    if (events < 0) return ReadStatus::failed;
    waited = true;
  }
}

bool TCPClient::waitWritable(int timeoutMs) {
  int events = pollFor(fd_, POLLOUT, timeoutMs);
  return events > 0 && (events & POLLOUT);
}

Result TCPClient::send(std::string_view bytes, int timeoutMs, bool more) {
  if (fd_ < 0) return Result::failure(EBADF);
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), flags);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitWritable(timeoutMs)) return Result::failure(ETIMEDOUT);
      continue;
    }
    if (n < 0) return Result::failure(errno);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return Result::success();
}

Result TCPClient::send(std::string_view first, std::string_view second, int timeoutMs) {
  if (fd_ < 0) return Result::failure(EBADF);
  while (!first.empty() && !second.empty()) {
    iovec parts[2] = {{const_cast<char*>(first.data()), first.size()}, {const_cast<char*>(second.data()), second.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    ssize_t n = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitWritable(timeoutMs)) return Result::failure(ETIMEDOUT);
      continue;
    }
    if (n < 0) return Result::failure(errno);
    auto sent = static_cast<std::size_t>(n);
    const std::size_t fromFirst = std::min(sent, first.size());
    first.remove_prefix(fromFirst);
    second.remove_prefix(sent - fromFirst);
  }
  Result result = send(first, timeoutMs);
  return result.isFailure() ? result : send(second, timeoutMs);
}

Result TCPClient::sendFile(int fileFd, std::uint64_t offset, std::uint64_t length, int timeoutMs) {
  if (fd_ < 0) return Result::failure(EBADF);
  if (!sigpipeKeptBlocked) {
    SigpipeGuard guard;
    return sendFileChunks(fileFd, offset, length, timeoutMs);
  }
  Result result = sendFileChunks(fileFd, offset, length, timeoutMs);
  if (result.isFailure() && result.error()->code == EPIPE) consumePendingSigpipe();
  return result;
}

Result TCPClient::sendFileChunks(int fileFd, std::uint64_t offset, std::uint64_t length, int timeoutMs) {
  off_t position = static_cast<off_t>(offset);
  std::uint64_t left = length;
  while (left > 0) {
    std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, kSendFileChunk));
    ssize_t n = ::sendfile(fd_, fileFd, &position, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitWritable(timeoutMs)) return Result::failure(ETIMEDOUT);
      continue;
    }
    if (n < 0) return Result::failure(errno);
    if (n == 0) return Result::failure(EIO);  // the file shrank under us
    left -= static_cast<std::uint64_t>(n);
  }
  return Result::success();
}

void TCPClient::shutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void TCPClient::shutdown() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void TCPClient::drain(int budgetMs, std::size_t maxBytes) {
  if (fd_ < 0) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
  char buffer[16384];
  std::size_t total = 0;
  while (total < maxBytes) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    int events = pollFor(fd_, POLLIN, static_cast<int>(left.count()));
    if (events <= 0) return;
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;
    total += static_cast<std::size_t>(n);
  }
}

void TCPClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace kestrom::tcp

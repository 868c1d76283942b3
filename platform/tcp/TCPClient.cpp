#include "platform/tcp/TCPClient.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>

namespace kestrom::tcp {

namespace {

constexpr std::size_t kSendFileChunk = 1 << 20;

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
    if (!wasPending_) {
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      timespec zero{0, 0};
      while (sigtimedwait(&pipe, nullptr, &zero) == SIGPIPE) {
      }
    }
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

TCPClient::TCPClient(int fd, std::string peerAddress) : fd_(fd), peerAddress_(std::move(peerAddress)) {
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
  int events = pollFor(fd_, POLLIN, timeoutMs);
  if (events == 0) {
    result.status = ReadStatus::timedOut;
    return result;
  }
  if (events < 0) return result;
  auto buffer = std::make_unique_for_overwrite<char[]>(maxCount);  // no zeroing of 64 KiB per read
  while (true) {
    ssize_t n = ::recv(fd_, buffer.get(), maxCount, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      result.status = ReadStatus::timedOut;  // woken without data: count it as a quiet peer
      return result;
    }
    if (n < 0) {
      result.status = ReadStatus::failed;
      return result;
    }
    result.bytes.assign(buffer.get(), static_cast<std::size_t>(n));
    result.status = n == 0 ? ReadStatus::closed : ReadStatus::data;
    return result;
  }
}

bool TCPClient::waitWritable(int timeoutMs) {
  int events = pollFor(fd_, POLLOUT, timeoutMs);
  return events > 0 && (events & POLLOUT);
}

Result TCPClient::send(std::string_view bytes, int timeoutMs) {
  if (fd_ < 0) return Result::failure(EBADF);
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
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

Result TCPClient::sendFile(int fileFd, std::uint64_t offset, std::uint64_t length, int timeoutMs) {
  if (fd_ < 0) return Result::failure(EBADF);
  SigpipeGuard guard;
  off_t position = static_cast<off_t>(offset);
  std::uint64_t left = length;
  while (left > 0) {
    if (!waitWritable(timeoutMs)) return Result::failure(ETIMEDOUT);
    std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, kSendFileChunk));
    ssize_t n = ::sendfile(fd_, fileFd, &position, chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
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

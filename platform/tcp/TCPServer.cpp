#include "platform/tcp/TCPServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace kestrom::tcp {

std::string SocketError::localizedDescription() const {
  char buffer[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text ? std::string(text) : "error " + std::to_string(code);
}

namespace {

// Failures after which the listening socket still works: the next accept may well succeed.
bool isPassing(int error) {
  switch (error) {
    case EINTR: case ECONNABORTED: case EPROTO: case EPERM: case ENETDOWN:
    case ENOPROTOOPT: case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP:
    case ENETUNREACH: case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
      return true;
    default:
      return false;
  }
}

bool isResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

TCPServer::TCPServer(std::string address, std::int32_t port, std::chrono::milliseconds acceptTimeout)
    : address_(std::move(address)), port_(port), acceptTimeout_(acceptTimeout) {}

TCPServer::~TCPServer() {
  int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

Result TCPServer::listen() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port_));
  if (port_ < 0 || port_ > 65535) return Result::failure(EINVAL);
  if (::inet_pton(AF_INET, address_.c_str(), &addr.sin_addr) != 1) return Result::failure(EINVAL);

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (acceptTimeout_.count() < 0 ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) return Result::failure(errno);
  int on = 1;
  // A restart binds the same port again while old connections still sit in TIME_WAIT.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (acceptTimeout_.count() > 0) {
    // A blocking accept(2) gives up with EAGAIN after the receive time-out. Unlike polling first,
    // it keeps the kernel's wake-one hand-over of each connection to a single waiting thread.
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(acceptTimeout_.count() / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((acceptTimeout_.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  if (acceptTimeout_.count() < 0) {
    // For an event loop: a connection is reported once its first bytes are there (or after a
    // second without), so the loop usually reads a whole head at once.
    int seconds = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    int error = errno;
    ::close(fd);
    return Result::failure(error);
  }
  socklen_t length = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    int error = errno;
    ::close(fd);
    return Result::failure(error);
  }
  port_ = ntohs(addr.sin_port);
  int old = fd_.exchange(fd);
  if (old >= 0) ::close(old);
  if (shutDown_) ::shutdown(fd, SHUT_RDWR);
  return Result::success();
}

TCPServer::Accepted TCPServer::accept() {
  while (true) {
    const Accepted accepted = acceptNow();
    if (accepted.status != AcceptStatus::shortage) return accepted;
    // Out of descriptors or memory: give the connections being served a moment to close theirs
    // instead of spinning.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

TCPServer::Accepted TCPServer::acceptNow() {
  while (!shutDown_) {
    int fd = fd_.load();
    if (fd < 0) return {};
    int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client >= 0) return {AcceptStatus::accepted, client};
    int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) return {AcceptStatus::timedOut, -1};
    if (isResourceShortage(error)) return {AcceptStatus::shortage, -1};
    if (!isPassing(error)) return {};
  }
  return {};
}

void TCPServer::shutdown() {
  shutDown_ = true;
  int fd = fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);  // wakes accept(2) with EINVAL on Linux
}

}  // namespace kestrom::tcp

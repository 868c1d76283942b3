#include "platform/tcp/DescriptorLimit.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace kestrom::tcp {

namespace {

int openReserve() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

}  // namespace

DescriptorReserve::DescriptorReserve() : fd_(openReserve()) {}

DescriptorReserve::~DescriptorReserve() {
  if (fd_ >= 0) ::close(fd_);
}

bool DescriptorReserve::acceptAndClose(int listeningFd) {
  if (fd_ >= 0) ::close(fd_);
  int client = ::accept4(listeningFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (client >= 0) ::close(client);
  fd_ = openReserve();
  return client >= 0;
}

void DescriptorReserve::replenish() {
  if (fd_ < 0) fd_ = openReserve();
}

std::uint64_t raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised{limit.rlim_max, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

std::size_t heldConnectionCap(std::size_t most) {
  constexpr std::size_t kLists = 3;
  constexpr std::size_t kLeast = 8;
  rlimit limit{};
  std::uint64_t share = most;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    share = static_cast<std::uint64_t>(limit.rlim_cur) / 4 / kLists;
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(share, kLeast, std::max(kLeast, most)));
}

}  // namespace kestrom::tcp

#include "platform/tcp/DescriptorLimit.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace kestrom::tcp

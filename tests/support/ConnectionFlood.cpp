#include "tests/support/ConnectionFlood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string_view>
#include <thread>

namespace kestrom::test {

namespace {

using Clock = std::chrono::steady_clock;

// The head a dripper sends, a byte at a time; it never ends.
constexpr std::string_view kDrip = "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";

struct Held {
  unsigned port = 0;
  bool drips = false;
  int fd = -1;
  std::size_t sent = 0;
  Clock::time_point closedAt{};
};

int connectTo(unsigned port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// In the child of a process that may have threads: no allocation from here on.
[[noreturn]] void holdConnections(std::vector<Held>& held, std::vector<pollfd>& polled, std::atomic<long>& open,
                                  std::atomic<long>& opened, std::atomic<long>& renewed) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // As many descriptors as the system lets this process have.
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (::geteuid() == 0) {  // another local user, as an attacker would be
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) std::_Exit(2);
  }
  char sink[4096];
  auto lastDrip = Clock::now();
  while (true) {
    const auto now = Clock::now();
    for (auto& h : held) {
      // Renewed a moment after the host let it go, so the loopback's ports are not used up.
      if (h.fd < 0 && now - h.closedAt > std::chrono::milliseconds(500)) {
        h.fd = connectTo(h.port);
        h.sent = 0;
        if (h.fd >= 0) {
          open.fetch_add(1);
          opened.fetch_add(1);
        } else {
          h.closedAt = now;
        }
      }
    }
    if (now - lastDrip > std::chrono::milliseconds(300)) {
      lastDrip = now;
      for (auto& h : held) {
        if (h.fd < 0 || !h.drips) continue;
        if (::send(h.fd, kDrip.data() + h.sent % kDrip.size(), 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++h.sent;
      }
    }
    for (std::size_t i = 0; i < held.size(); ++i) polled[i] = {held[i].fd, POLLIN, 0};
    ::poll(polled.data(), polled.size(), 100);
    for (std::size_t i = 0; i < held.size(); ++i) {
      auto& h = held[i];
      if (h.fd < 0 || polled[i].revents == 0) continue;
      const ssize_t n = ::recv(h.fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) continue;
      ::close(h.fd);
      h.fd = -1;
      h.closedAt = Clock::now();
      open.fetch_sub(1);
      renewed.fetch_add(1);
    }
  }
}

}  // namespace

ConnectionFlood::ConnectionFlood(Options options) : processes_(std::max(1, options.processes)) {
  void* shared = ::mmap(nullptr, sizeof(Counters) * static_cast<std::size_t>(processes_), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return;
  counters_ = static_cast<Counters*>(shared);
  for (int p = 0; p < processes_; ++p) {
    new (&counters_[p]) Counters{};
    std::vector<Held> held;
    for (unsigned port : options.ports) {
      for (int i = p; i < options.perPort; i += processes_) held.push_back(Held{port, i % 2 == 1});
    }
    std::vector<pollfd> polled(held.size());
    const pid_t pid = ::fork();
    if (pid == 0) holdConnections(held, polled, counters_[p].open, counters_[p].opened, counters_[p].renewed);
    if (pid > 0) children_.push_back(pid);
  }
}

ConnectionFlood::~ConnectionFlood() {
  for (pid_t pid : children_) ::kill(pid, SIGKILL);
  for (pid_t pid : children_) ::waitpid(pid, nullptr, 0);
  if (counters_) ::munmap(counters_, sizeof(Counters) * static_cast<std::size_t>(processes_));
}

long ConnectionFlood::open() const {
  long total = 0;
  for (int p = 0; counters_ && p < processes_; ++p) total += counters_[p].open.load();
  return total;
}

long ConnectionFlood::opened() const {
  long total = 0;
  for (int p = 0; counters_ && p < processes_; ++p) total += counters_[p].opened.load();
  return total;
}

long ConnectionFlood::renewed() const {
  long total = 0;
  for (int p = 0; counters_ && p < processes_; ++p) total += counters_[p].renewed.load();
  return total;
}

bool ConnectionFlood::waitForOpened(long count, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (opened() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace kestrom::test

#include "platform/fdwatch/FdWatch.h"

#include <pthread.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>

#include "platform/dispatch/DetachedThreads.h"
#include "platform/log/GuardedCallback.h"

namespace kestrom::fdwatch {

namespace {

// A handler that throws must not take the watch thread (and with it the process) down.
template <class F>
void callHandler(const std::string& label, F&& handler) {
  log::guardedCallback(label.c_str(), std::forward<F>(handler));
}

std::string hangUpReason(short revents) {
  if (revents & POLLNVAL) return "the descriptor is not open";
  if (revents & POLLERR) return "the device reported an error";
  return "the device hung up";
}

// The state of the watch whose thread this is; tells a destructor whether it runs inside one of
// the handlers of the watch it destroys.
thread_local const void* currentWatch = nullptr;

}  // namespace

// Shared by the owner and the watch thread, so a thread left running after its owner is gone
// (destroyed from inside a handler) still finds its flags, handlers and wake-up descriptor.
struct FdWatch::State {
  dispatch::ThreadExit exit;  // goes with the last of the thread and the watch
  int fd = -1;
  int wakeFd = -1;
  std::string label;
  Handlers handlers;
  // Held by the constructor until thread_ is in place, so a handler that destroys the watch at
  // once still finds the thread to detach.
  std::mutex starting;
  std::atomic<bool> stopped{false};
  std::atomic<bool> wantWritable{false};

  ~State() {
    if (wakeFd >= 0) ::close(wakeFd);
  }

  void wake() const {
    const std::uint64_t one = 1;
    // A full counter already means "wake up"; nothing else can fail on a valid eventfd.
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
  }
};

FdWatch::FdWatch(int fd, std::string label, Handlers handlers) : state_(std::make_shared<State>()) {
  state_->fd = fd;
  state_->label = std::move(label);
  state_->handlers = std::move(handlers);
  state_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state_->wakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  std::lock_guard starting(state_->starting);
  thread_ = std::thread(&FdWatch::run, state_);
}

FdWatch::~FdWatch() {
  stop();
  if (currentWatch == state_.get()) {
    state_->exit.detach(thread_);  // we are inside one of its handlers; the thread ends when it returns
  } else {
    thread_.join();
  }
}

void FdWatch::stop() {
  state_->stopped = true;
  state_->wake();
}

void FdWatch::setWantWritable(bool want) {
  if (state_->wantWritable.exchange(want) != want) state_->wake();
}

void FdWatch::run(std::shared_ptr<State> state) {
  State& s = *state;
  { std::lock_guard started(s.starting); }
  currentWatch = &s;
  std::string threadName = s.label.substr(0, 15);
  pthread_setname_np(pthread_self(), threadName.c_str());

  while (!s.stopped) {
    pollfd fds[2] = {{s.fd, static_cast<short>(POLLIN | (s.wantWritable ? POLLOUT : 0)), 0},
                     {s.wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      const std::string reason = std::string("poll failed: ") + std::strerror(errno);
      if (!s.stopped && s.handlers.hungUp) callHandler(s.label, [&] { s.handlers.hungUp(reason); });
      break;
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] ssize_t n = ::read(s.wakeFd, &count, sizeof count);
    }
    const short revents = fds[0].revents;
    if ((revents & POLLIN) && !s.stopped && s.handlers.readable) callHandler(s.label, s.handlers.readable);
    if ((revents & POLLOUT) && !s.stopped && s.wantWritable && s.handlers.writable) {
      callHandler(s.label, s.handlers.writable);
    }
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
      // Level-triggered: polling on would spin, so a hang-up ends the watch.
      if (!s.stopped && s.handlers.hungUp) {
        const std::string reason = hangUpReason(revents);
        callHandler(s.label, [&] { s.handlers.hungUp(reason); });
      }
      break;
    }
  }
  currentWatch = nullptr;
}

}  // namespace kestrom::fdwatch

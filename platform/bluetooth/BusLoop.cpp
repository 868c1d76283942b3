#include "platform/bluetooth/BusLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <stdexcept>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/dispatch/QueueCheck.h"

namespace kestrom::bluetooth {

BusLoop::BusLoop(std::string name, std::unique_ptr<sdbus::IConnection> connection, log::Logger log)
    : name_(std::move(name)), connection_(std::move(connection)), log_(std::move(log)) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    throw std::runtime_error("eventfd failed for " + name_);
  }
}

BusLoop::~BusLoop() {
  stop();
  ::close(wakeFd_);
}

void BusLoop::start() {
  thread_ = std::thread([this] {
    threadId_ = std::this_thread::get_id();
    run();
  });
}

void BusLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) {
    thread_.join();
  }
  threadId_ = std::thread::id{};
  std::vector<Task> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(tasks_);
  }
  timers_.clear();
}

void BusLoop::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      return;
    }
    tasks_.push_back(std::move(task));
  }
  wake();
}

bool BusLoop::sync(const Task& task) {
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool ran = false;
    bool dropped = false;
  };
  auto done = std::make_shared<Done>();
  // A guard whose destruction marks the task as dropped when the loop discards it unrun.
  auto guard = std::shared_ptr<void>(nullptr, [done](void*) {
    std::lock_guard lock(done->mutex);
    done->dropped = true;
    done->cv.notify_all();
  });
  post([&task, done, guard]() mutable {
    task();
    std::lock_guard lock(done->mutex);
    done->ran = true;
    done->cv.notify_all();
  });
  guard.reset();
  std::unique_lock lock(done->mutex);
  done->cv.wait(lock, [&] { return done->ran || done->dropped; });
  return done->ran;
}

BusLoop::TimerId BusLoop::after(Clock::duration delay, Task task) {
  KESTROM_ASSERT_ON_HOME(isCurrent(), "the bus loop thread");
  TimerId id = nextTimer_++;
  timers_.emplace(id, Timer{Clock::now() + delay, std::move(task)});
  return id;
}

void BusLoop::cancel(TimerId id) {
  KESTROM_ASSERT_ON_HOME(isCurrent(), "the bus loop thread");
  timers_.erase(id);
}

void BusLoop::wake() {
  std::uint64_t one = 1;
  ssize_t n = ::write(wakeFd_, &one, sizeof one);
  (void)n;  // a full counter already wakes the loop
}

void BusLoop::run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        return;
      }
    }
    runTasks();
    runTimers();
    processBus();

    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
    int timeout = pollTimeoutMs();
    if (auto* bus = connection()) {
      try {
        auto data = bus->getEventLoopPollData();
        fds[1] = {data.fd, data.events, 0};
        int busTimeout = data.getPollTimeout();
        if (busTimeout >= 0 && (timeout < 0 || busTimeout < timeout)) {
          timeout = busTimeout;
        }
      } catch (const std::exception& e) {
        log_.error("%s: the bus connection failed: %s", name_, e.what());
        busBroken_ = true;
      }
    }
    int rc = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
    if (rc < 0 && errno != EINTR) {
      log_.error("%s: poll failed (errno %d)", name_, errno);
    }
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      ssize_t n = ::read(wakeFd_, &count, sizeof count);
      (void)n;
    }
  }
}

void BusLoop::runTasks() {
  std::vector<Task> tasks;
  {
    std::lock_guard lock(mutex_);
    tasks.swap(tasks_);
  }
  for (auto& task : tasks) {
    try {
      task();
    } catch (const std::exception& e) {
      log_.error("%s: a task failed: %s", name_, e.what());
    }
  }
}

void BusLoop::runTimers() {
  auto now = Clock::now();
  std::vector<TimerId> due;
  for (const auto& [id, timer] : timers_) {
    if (timer.deadline <= now) {
      due.push_back(id);
    }
  }
  for (TimerId id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) {
      continue;  // cancelled by an earlier timer of this round
    }
    Task task = std::move(it->second.task);
    timers_.erase(it);
    try {
      task();
    } catch (const std::exception& e) {
      log_.error("%s: a timer failed: %s", name_, e.what());
    }
  }
}

void BusLoop::processBus() {
  auto* bus = connection();
  if (bus == nullptr) {
    return;
  }
  try {
    // Bounded so posted work and timers are not starved by a flood of messages.
    for (int i = 0; i < 256 && bus->processPendingRequest(); ++i) {
    }
  } catch (const std::exception& e) {
    log_.error("%s: the bus connection failed: %s", name_, e.what());
    busBroken_ = true;
  }
}

int BusLoop::pollTimeoutMs() {
  if (timers_.empty()) {
    return -1;
  }
  auto next = std::min_element(timers_.begin(), timers_.end(), [](const auto& a, const auto& b) {
                return a.second.deadline < b.second.deadline;
              })->second.deadline;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

}  // namespace kestrom::bluetooth

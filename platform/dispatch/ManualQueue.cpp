#include "platform/dispatch/ManualQueue.h"

#include <algorithm>

#include "platform/dispatch/QueueSupport.h"

namespace kestrom::dispatch {

namespace {

constexpr auto earlier = [](const auto& a, const auto& b) {
  return a.due != b.due ? a.due < b.due : a.order < b.order;
};

}  // namespace

/// Makes the calling thread the one that drains, for as long as it lives; waits for another
/// thread's drain to end first. A task may drain its own queue again (nested).
class ManualQueue::Drainer {
 public:
  explicit Drainer(ManualQueue& queue) : queue_(queue) {
    std::unique_lock lock(queue_.mutex_);
    queue_.changed_.wait(lock, [this] { return queue_.mayDrain(); });
    queue_.drainer_ = std::this_thread::get_id();
    ++queue_.depth_;
  }
  /// For a caller that holds the lock and has seen mayDrain().
  Drainer(ManualQueue& queue, const std::unique_lock<std::mutex>&) : queue_(queue) {
    queue_.drainer_ = std::this_thread::get_id();
    ++queue_.depth_;
  }
  ~Drainer() {
    {
      std::lock_guard lock(queue_.mutex_);
      if (--queue_.depth_ == 0) queue_.drainer_ = {};
    }
    queue_.changed_.notify_all();
  }
  Drainer(const Drainer&) = delete;
  Drainer& operator=(const Drainer&) = delete;

  /// Runs one task, then wakes whoever waits for it (a sync caller) or for the drain to end.
  void run(Task& task) {
    runGuarded(queue_.key_, queue_.label(), task);
    task = nullptr;
    { std::lock_guard lock(queue_.mutex_); }  // a waiter is either waiting or will see the change
    queue_.changed_.notify_all();
  }

 private:
  ManualQueue& queue_;
};

ManualQueue::ManualQueue(std::string label) : Queue(std::move(label)), key_(newQueueKey()) {}

std::size_t ManualQueue::runPending() {
  Drainer drainer(*this);
  std::size_t ran = 0;
  while (Task task = takeNext()) {
    drainer.run(task);
    ++ran;
  }
  return ran;
}

void ManualQueue::advance(Duration by) {
  Drainer drainer(*this);
  Duration target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + std::max(by, Duration::zero());
  }
  for (;;) {
    runPending();
    Task task;
    {
      std::lock_guard lock(mutex_);
      auto next = std::min_element(timed_.begin(), timed_.end(), earlier);
      if (next == timed_.end() || next->due > target) {
        now_ = std::max(now_, target);
        return;
      }
      now_ = std::max(now_, next->due);
      task = std::move(next->task);
      timed_.erase(next);
    }
    drainer.run(task);
  }
}

Duration ManualQueue::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::size_t ManualQueue::pendingCount() const {
  std::lock_guard lock(mutex_);
  return ready_.size();
}

bool ManualQueue::runUntil(const std::function<bool()>& done, Duration timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  Drainer drainer(*this);
  for (;;) {
    runPending();
    if (done()) return true;
    std::unique_lock lock(mutex_);
    const auto now = Clock::now();
    if (now >= deadline) return false;
    // Wake for new work, and now and then anyway: `done` may turn true without any.
    changed_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(10)),
                        [this] { return !ready_.empty(); });
  }
}

bool ManualQueue::isCurrent() const { return CurrentQueue::contains(key_); }

struct ManualQueue::Presence::Held {
  CurrentQueue::Scope scope;
};

ManualQueue::Presence::Presence(const ManualQueue& queue) : held_(new Held{CurrentQueue::Scope(queue.key_)}) {}

ManualQueue::Presence::~Presence() = default;

void ManualQueue::asyncImpl(Task task) {
  {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(task));
  }
  changed_.notify_all();
}

void ManualQueue::asyncAfterImpl(Duration delay, Task task) {
  std::lock_guard lock(mutex_);
  timed_.push_back(Timed{now_ + std::max(delay, Duration::zero()), order_++, std::move(task)});
}

void ManualQueue::syncImpl(const Task& task) {
  auto [wrapper, call] = SyncCall::make(task);
  asyncImpl(std::move(wrapper));
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this, &call = call] { return call->isDone() || mayDrain(); });
  if (call->isDone()) {
    lock.unlock();
  } else {
    // Nobody drains: run what was queued before the task, and the task, on this thread.
    Drainer drainer(*this, lock);
    lock.unlock();
    while (!call->isDone()) {
      Task next = takeNext();
      if (!next) break;
      drainer.run(next);
    }
  }
  call->wait();
}

Task ManualQueue::takeNext() {
  std::lock_guard lock(mutex_);
  if (!ready_.empty()) {
    Task task = std::move(ready_.front());
    ready_.pop_front();
    return task;
  }
  auto next = std::min_element(timed_.begin(), timed_.end(), earlier);
  if (next == timed_.end() || next->due > now_) return nullptr;
  Task task = std::move(next->task);
  timed_.erase(next);
  return task;
}

bool ManualQueue::mayDrain() const {
  return drainer_ == std::thread::id{} || drainer_ == std::this_thread::get_id();
}

}  // namespace kestrom::dispatch

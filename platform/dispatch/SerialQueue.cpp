#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "platform/dispatch/DetachedThreads.h"
#include "platform/dispatch/QueueSupport.h"

namespace kestrom::dispatch {

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
  Clock::time_point due;
  std::uint64_t order;  // equal deadlines fire in the order they were set
  Task task;
  bool operator>(const Timer& other) const {
    return due != other.due ? due > other.due : order > other.order;
  }
};

// What the worker thread touches. Shared with the thread so the queue object may go away first
// (when its last owner is a task running on the queue itself).
struct SerialState {
  std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  std::deque<Task> ready;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers;
  std::uint64_t nextOrder = 0;
  bool stopping = false;
};

/// A queue with a thread of its own, running one task at a time in the order they came.
/// Owned by whoever made it. When the last owner lets go, work already queued still runs (a
/// store's pending write is not lost) and delayed work is dropped; the destructor then joins
/// the thread, so queued tasks must not wait on the queue that destroys this one.
class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label)
      : Queue(std::move(label)), state_(std::make_shared<SerialState>()) {
    thread_ = std::thread([state = state_, key = key_, name = this->label(), exit = exit_] {
      // The kernel keeps 15 characters of a thread name.
      pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
      run(*state, key, name);
    });
  }

  ~SerialQueue() override {
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
    }
    state_->wake.notify_one();
    if (std::this_thread::get_id() == thread_.get_id()) {
      exit_.detach(thread_);  // the thread finishes the current task, drains and exits on its own
    } else {
      thread_.join();
    }
  }

  bool isCurrent() const override { return CurrentQueue::contains(key_); }

 protected:
  void asyncImpl(Task task) override {
    {
      std::lock_guard lock(state_->mutex);
      state_->ready.push_back(std::move(task));
    }
    state_->wake.notify_one();
  }

  void asyncAfterImpl(Duration delay, Task task) override {
    {
      std::lock_guard lock(state_->mutex);
      state_->timers.push(Timer{Clock::now() + delay, state_->nextOrder++, std::move(task)});
    }
    state_->wake.notify_one();
  }

 private:
  static void run(SerialState& state, QueueKey key, const std::string& label) {
    std::unique_lock lock(state.mutex);
    for (;;) {
      while (!state.stopping && !state.timers.empty() && state.timers.top().due <= Clock::now()) {
        // priority_queue::top() is const; the task is moved out just before the pop.
        state.ready.push_back(std::move(const_cast<Timer&>(state.timers.top()).task));
        state.timers.pop();
      }
      if (!state.ready.empty()) {
        Task task = std::move(state.ready.front());
        state.ready.pop_front();
        lock.unlock();
        runGuarded(key, label, task);
        task = nullptr;  // captures die before the lock is taken again
        lock.lock();
        continue;
      }
      if (state.stopping) break;
      if (state.timers.empty()) {
        state.wake.wait(lock);
      } else {
        const auto due = state.timers.top().due;  // a copy: the heap may move while we wait
        state.wake.wait_until(lock, due);
      }
    }
    auto dropped = std::move(state.timers);
    lock.unlock();
  }

  const QueueKey key_ = newQueueKey();
  std::shared_ptr<SerialState> state_;
  ThreadExit exit_;
  std::thread thread_;
};

}  // namespace

std::shared_ptr<Queue> makeSerialQueue(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

}  // namespace kestrom::dispatch

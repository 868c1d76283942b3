#include "platform/dispatch/Queue.h"

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/dispatch/QueueSupport.h"
#include "platform/log/Log.h"

namespace kestrom::dispatch {

// Delayed work. Cancelling drops the task at once, so whatever it captured is released then and
// not when its time would have come.
struct WorkState {
  explicit WorkState(Task t) : task(std::move(t)) {}

  /// The task if it may still run; afterwards neither run() nor cancel() finds it.
  Task take() {
    std::lock_guard lock(mutex);
    return std::exchange(task, nullptr);
  }

  std::mutex mutex;  // guards task, cancelled
  Task task;
  bool cancelled = false;
};

void WorkItem::cancel() const {
  if (!state_) return;
  Task dropped;  // destroyed outside the lock: its captures may do anything
  std::lock_guard lock(state_->mutex);
  if (!state_->task) return;  // already ran (or running)
  state_->cancelled = true;
  dropped = std::exchange(state_->task, nullptr);
}

bool WorkItem::isCancelled() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

WorkItem Queue::asyncAfter(Duration delay, Task task) {
  auto state = std::make_shared<WorkState>(std::move(task));
  asyncAfterImpl(delay, [state] {
    if (Task task = state->take()) task();
  });
  return WorkItem(std::move(state));
}

void Queue::sync(const Task& task) {
  if (isCurrent()) {
    task();
    return;
  }
  syncImpl(task);
}

void Queue::syncImpl(const Task& task) {
  auto [wrapper, call] = SyncCall::make(task);
  asyncImpl(std::move(wrapper));
  call->wait();
}

namespace {

std::mutex mainQueueMutex;  // guards installedMainQueue
std::shared_ptr<Queue> installedMainQueue;

}  // namespace

std::shared_ptr<Queue> mainQueue() {
  std::lock_guard lock(mainQueueMutex);
  if (!installedMainQueue) installedMainQueue = makeGLibQueue("main");
  return installedMainQueue;
}

void installMainQueue(std::shared_ptr<Queue> queue) {
  std::shared_ptr<Queue> previous;  // released outside the lock: it may join a thread
  std::lock_guard lock(mainQueueMutex);
  previous = std::exchange(installedMainQueue, std::move(queue));
}

struct GroupState {
  std::mutex mutex;  // guards count, waiting
  std::condition_variable drained;
  long count = 0;
  std::vector<std::pair<std::shared_ptr<Queue>, Task>> waiting;
};

Group::Group() : state_(std::make_shared<GroupState>()) {}

void Group::enter() {
  std::lock_guard lock(state_->mutex);
  ++state_->count;
}

void Group::leave() {
  std::vector<std::pair<std::shared_ptr<Queue>, Task>> ready;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->count == 0) {
      // An unbalanced leave would make a later wait() return while work is still in flight.
      log::Logger("platform", "dispatch").fault("Group::leave() without a matching enter()");
      return;
    }
    if (--state_->count > 0) return;
    ready.swap(state_->waiting);
  }
  state_->drained.notify_all();
  for (auto& [queue, task] : ready) queue->async(std::move(task));
}

void Group::wait() {
  std::unique_lock lock(state_->mutex);
  state_->drained.wait(lock, [this] { return state_->count == 0; });
}

bool Group::waitFor(Duration timeout) {
  std::unique_lock lock(state_->mutex);
  return state_->drained.wait_for(lock, timeout, [this] { return state_->count == 0; });
}

void Group::notify(std::shared_ptr<Queue> queue, Task task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->count > 0) {
      state_->waiting.emplace_back(std::move(queue), std::move(task));
      return;
    }
  }
  queue->async(std::move(task));
}

}  // namespace kestrom::dispatch

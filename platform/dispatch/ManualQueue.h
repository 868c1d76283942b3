#pragma once
// A queue for tests: nothing runs until the test drains it, and delayed work follows a virtual
// clock that only the test advances. Not thread-safe beyond async() from other threads.

#include <deque>
#include <mutex>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace kestrom::dispatch {

class ManualQueue final : public Queue {
 public:
  explicit ManualQueue(std::string label = "manual");

  /// Runs queued tasks (and tasks they queue) until none is left; returns how many ran.
  std::size_t runPending();
  /// Moves the virtual clock forward, running every delayed task that falls due, in time order.
  void advance(Duration by);
  Duration now() const;
  std::size_t pendingCount() const;

  bool isCurrent() const override;

 protected:
  void asyncImpl(Task task) override;
  void asyncAfterImpl(Duration delay, Task task) override;
  void syncImpl(const Task& task) override;

 private:
  struct Timed {
    Duration due;
    std::size_t order;
    Task task;
  };
  mutable std::mutex mutex_;  // guards ready_, timed_, now_, order_
  std::deque<Task> ready_;
  std::vector<Timed> timed_;
  Duration now_{};
  std::size_t order_ = 0;
  bool running_ = false;
};

}  // namespace kestrom::dispatch

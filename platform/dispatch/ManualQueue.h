#pragma once
// A queue for tests: nothing runs until the test drains it, and delayed work follows a virtual
// clock that only the test advances.
//
// Threads: any thread may post to it. One thread drains at a time (runPending, advance,
// runUntil); a second drainer waits for the first. sync() from a thread that is not on the queue
// queues the task behind what is already there, then either waits for the thread that is
// draining to reach it or, when nobody is draining, drains up to it on the calling thread. So a
// worker's sync never deadlocks a test, whether the test drains at that moment or not.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace kestrom::dispatch {

class ManualQueue final : public Queue {
 public:
  explicit ManualQueue(std::string label = "manual");

  /// Runs queued tasks (and tasks they queue, and delayed tasks already due) until none is left;
  /// returns how many ran.
  std::size_t runPending();
  /// Moves the virtual clock forward, running every delayed task that falls due, in time order
  /// (equal deadlines in the order they were set), each followed by the tasks it queued.
  void advance(Duration by);
  Duration now() const;
  /// Tasks queued and ready to run now (delayed ones not counted).
  std::size_t pendingCount() const;
  /// Drains until `done()` holds, waiting for other threads to post; false if `timeout` (real
  /// time) ran out first. For tests whose work arrives from worker threads.
  bool runUntil(const std::function<bool()>& done, Duration timeout);

  bool isCurrent() const override;

  /// While one lives, the thread that made it counts as on this queue: a test that plays the main
  /// thread holds one while it calls what must run on the main queue. Same thread only.
  class Presence {
   public:
    explicit Presence(const ManualQueue& queue);
    ~Presence();
    Presence(const Presence&) = delete;
    Presence& operator=(const Presence&) = delete;

   private:
    struct Held;
    std::unique_ptr<Held> held_;
  };

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
  class Drainer;

  /// The next task to run now: a queued one, else the earliest delayed one that is due.
  Task takeNext();
  bool mayDrain() const;  // with mutex_ held

  const std::uint64_t key_;
  mutable std::mutex mutex_;  // guards ready_, timed_, now_, order_, drainer_, depth_
  std::condition_variable changed_;
  std::deque<Task> ready_;
  std::vector<Timed> timed_;
  Duration now_{};
  std::size_t order_ = 0;
  std::thread::id drainer_;
  int depth_ = 0;  // nested drains by drainer_ (a task that drains its own queue)
};

}  // namespace kestrom::dispatch

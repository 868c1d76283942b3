#pragma once
// What every queue backend shares and no caller sees: which queues the running thread holds, how
// a task is run so that its exception cannot kill a queue, and the hand-shake behind sync.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace kestrom::dispatch {

/// Identifies a queue for the life of the process; unlike an address it is never reused.
using QueueKey = std::uint64_t;
QueueKey newQueueKey();

/// The queues the calling thread holds: the one whose task it runs, plus every queue whose
/// thread is blocked in a sync waiting for that task. Holding a queue is what makes isCurrent()
/// true, so a sync back onto a waiting queue (A -> B -> A) runs inline instead of deadlocking.
class CurrentQueue {
 public:
  static bool contains(QueueKey key);
  static std::vector<QueueKey> snapshot();

  /// Holds `keys` on this thread until the scope ends.
  class Scope {
   public:
    explicit Scope(QueueKey key);
    explicit Scope(const std::vector<QueueKey>& keys);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    std::size_t count_;
  };
};

/// Runs `task` while holding `key`; an exception is logged under the queue's label, not rethrown.
void runGuarded(QueueKey key, const std::string& label, const Task& task);

/// One sync call: the task handed to the queue, and the caller's wait for it. The caller learns
/// the task was dropped unrun (queue gone) instead of waiting forever.
class SyncCall {
 public:
  /// Wraps `task` for the target queue; the wrapper holds the caller's queues while it runs.
  /// `task` must outlive the wait.
  static std::pair<Task, std::shared_ptr<SyncCall>> make(const Task& task);

  bool isDone() const;
  /// Blocks until the task ran or was dropped; rethrows its exception, throws when dropped.
  void wait();
  void finish(bool ran, std::exception_ptr error);

 private:
  mutable std::mutex mutex_;  // guards done_, ran_, error_
  std::condition_variable changed_;
  bool done_ = false;
  bool ran_ = false;
  std::exception_ptr error_;
};

}  // namespace kestrom::dispatch

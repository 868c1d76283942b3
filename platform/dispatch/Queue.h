#pragma once
// Work queues: the main queue (GLib's default main context), serial queues (one thread each),
// delayed and cancellable work, and a manual queue driven by tests on a virtual clock.
//
// Thread rules: `sync` onto the queue you are running on runs the task inline instead of
// deadlocking; so does a sync back onto a queue whose thread is waiting in a sync for the caller
// (A -> B -> A). Waits go one way only (main -> store queue, HTTP worker -> main); see
// docs/architecture.md. A task's exception is logged and never stops its queue; `sync` hands it
// to the caller instead.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

struct _GMainContext;  // GLib's GMainContext, declared here so this header needs no GLib include

namespace kestrom::dispatch {

struct WorkState;
struct GroupState;

using Task = std::function<void()>;
using Duration = std::chrono::steady_clock::duration;

/// A handle on delayed work; cancel() before it runs and it never runs. Copyable, thread-safe.
class WorkItem {
 public:
  WorkItem() = default;
  explicit WorkItem(std::shared_ptr<WorkState> state) : state_(std::move(state)) {}
  void cancel() const;
  bool isCancelled() const;

 private:
  std::shared_ptr<WorkState> state_;
};

class Queue {
 public:
  explicit Queue(std::string label) : label_(std::move(label)) {}
  virtual ~Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  const std::string& label() const { return label_; }

  /// Runs `task` later on this queue, after everything queued before it.
  void async(Task task) { asyncImpl(std::move(task)); }
  /// Runs `task` on this queue after `delay`, unless the returned item is cancelled first.
  WorkItem asyncAfter(Duration delay, Task task);
  /// Runs `task` on this queue and waits for it; inline when already on this queue. Rethrows
  /// what `task` threw; throws std::runtime_error if the queue dropped it unrun.
  void sync(const Task& task);
  /// `sync` that hands back what `f` returns.
  template <class F>
  auto syncValue(F&& f) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if constexpr (std::is_void_v<R>) {
      sync(std::forward<F>(f));
    } else {
      std::optional<R> result;
      sync([&] { result.emplace(f()); });
      return std::move(*result);
    }
  }
  /// True when the calling code runs on this queue.
  virtual bool isCurrent() const = 0;

 protected:
  virtual void asyncImpl(Task task) = 0;
  virtual void asyncAfterImpl(Duration delay, Task task) = 0;
  /// Blocks until `task` has run on this queue (never called when isCurrent()).
  virtual void syncImpl(const Task& task);

 private:
  std::string label_;
};

/// The main queue: GLib's default main context, unless a test installed its own.
std::shared_ptr<Queue> mainQueue();
/// Replaces the main queue for the rest of the process (tests and the headless host); null puts
/// a queue on GLib's default main context back.
void installMainQueue(std::shared_ptr<Queue> queue);

/// A serial queue on a thread of its own, named `label` in logs and debuggers. When the last
/// owner lets go, queued work still runs, delayed work is dropped, and the thread is joined
/// (detached when that owner is a task on the queue itself).
std::shared_ptr<Queue> makeSerialQueue(std::string label);

/// A queue that runs tasks on the GLib main context it was made for (the default one if null).
std::shared_ptr<Queue> makeGLibQueue(std::string label, ::_GMainContext* context = nullptr);

/// Counts work in flight: enter() before, leave() after; wait() blocks until the count is zero.
class Group {
 public:
  Group();
  void enter();
  void leave();
  void wait();
  /// False when the time ran out before the count reached zero.
  bool waitFor(Duration timeout);
  /// Runs `task` on `queue` once the count is zero (at once if it is zero now).
  void notify(std::shared_ptr<Queue> queue, Task task);

 private:
  std::shared_ptr<GroupState> state_;
};

}  // namespace kestrom::dispatch

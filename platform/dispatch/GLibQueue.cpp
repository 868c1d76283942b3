#include <glib.h>

#include <limits>

#include "platform/dispatch/QueueSupport.h"
#include "platform/log/GuardedCallback.h"

// GLib's locks are futexes of its own, which ThreadSanitizer cannot see: without these two marks
// every task handed to another thread's main context would look like a race with its poster.
#if defined(KESTROM_SANITIZE_THREAD)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#define KESTROM_TSAN_ACQUIRE(address) __tsan_acquire(address)
#define KESTROM_TSAN_RELEASE(address) __tsan_release(address)
#else
#define KESTROM_TSAN_ACQUIRE(address) ((void)0)
#define KESTROM_TSAN_RELEASE(address) ((void)0)
#endif

namespace kestrom::dispatch {

namespace {

// What one GSource carries: freed by the source's destroy-notify, whether or not it ran.
struct Posted {
  Task task;
  QueueKey key;
  std::shared_ptr<const std::string> label;
};

gboolean dispatchPosted(gpointer data) {
  auto* posted = static_cast<Posted*>(data);
  KESTROM_TSAN_ACQUIRE(posted);
  // runGuarded catches what the task throws; this catches what running it may throw besides.
  log::guardedCallback("GLib queue source", [posted] { runGuarded(posted->key, *posted->label, posted->task); });
  return G_SOURCE_REMOVE;
}

void freePosted(gpointer data) {
  KESTROM_TSAN_ACQUIRE(data);
  delete static_cast<Posted*>(data);
}

guint wholeMilliseconds(Duration delay) {
  if (delay <= Duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay).count();
  return ms >= std::numeric_limits<guint>::max() ? std::numeric_limits<guint>::max()
                                                  : static_cast<guint>(ms);
}

/// A queue whose tasks run on a GLib main context, in the order they were posted, whenever a
/// loop iterates that context (the main queue: the default context, iterated by the
/// application's main loop). Work posted when the queue is gone still runs on the context.
/// sync() from a thread that does not own the context waits for the context's loop to run it.
class GLibQueue final : public Queue {
 public:
  GLibQueue(std::string label, GMainContext* context)
      : Queue(std::move(label)),
        context_(g_main_context_ref(context ? context : g_main_context_default())),
        sharedLabel_(std::make_shared<const std::string>(this->label())) {}

  ~GLibQueue() override { g_main_context_unref(context_); }

  bool isCurrent() const override {
    return g_main_context_is_owner(context_) || CurrentQueue::contains(key_);
  }

 protected:
  void asyncImpl(Task task) override { post(g_idle_source_new(), std::move(task)); }

  void asyncAfterImpl(Duration delay, Task task) override {
    post(g_timeout_source_new(wholeMilliseconds(delay)), std::move(task));
  }

 private:
  void post(GSource* source, Task task) {
    // Default priority, as for I/O and timeouts: tasks must not starve behind redraws.
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    auto* posted = new Posted{std::move(task), key_, sharedLabel_};
    KESTROM_TSAN_RELEASE(posted);
    g_source_set_callback(source, dispatchPosted, posted, freePosted);
    g_source_attach(source, context_);
    g_source_unref(source);
  }

  const QueueKey key_ = newQueueKey();
  GMainContext* context_;
  std::shared_ptr<const std::string> sharedLabel_;
};

}  // namespace

std::shared_ptr<Queue> makeGLibQueue(std::string label, GMainContext* context) {
  return std::make_shared<GLibQueue>(std::move(label), context);
}

}  // namespace kestrom::dispatch

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace kestrom::dispatch {
namespace {

using namespace std::chrono_literals;

// Runs a loop on `context` until a task quits it or the watchdog fires; false on the watchdog.
// With a private context the test thread stands in for the application's main thread.
class LoopRunner {
 public:
  explicit LoopRunner(GMainContext* context = nullptr) : loop_(g_main_loop_new(context, FALSE)) {}
  ~LoopRunner() { g_main_loop_unref(loop_); }

  void quit() { g_main_loop_quit(loop_); }

  bool run(guint watchdogSeconds = 5) {
    GSource* watchdog = g_timeout_source_new_seconds(watchdogSeconds);
    g_source_set_callback(
        watchdog,
        [](gpointer self) {
          static_cast<LoopRunner*>(self)->timedOut_ = true;
          static_cast<LoopRunner*>(self)->quit();
          return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(watchdog, g_main_loop_get_context(loop_));
    g_main_loop_run(loop_);
    g_source_destroy(watchdog);
    g_source_unref(watchdog);
    return !timedOut_;
  }

 private:
  GMainLoop* loop_;
  bool timedOut_ = false;
};

TEST(GLibQueueTest, TaskPostedFromAnotherThreadRunsOnTheMainLoop) {
  LoopRunner loop;
  auto queue = makeGLibQueue("main");
  bool onQueue = false;
  std::thread worker([&] {
    queue->async([&] {
      onQueue = queue->isCurrent();
      loop.quit();
    });
  });
  EXPECT_TRUE(loop.run());
  worker.join();
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(GLibQueueTest, DefaultMainQueueIsOnTheDefaultMainContext) {
  auto previous = mainQueue();
  installMainQueue(nullptr);
  auto main = mainQueue();
  EXPECT_FALSE(main->isCurrent());
  ASSERT_TRUE(g_main_context_acquire(g_main_context_default()));
  EXPECT_TRUE(main->isCurrent()) << "the thread that runs the default context is on main";
  g_main_context_release(g_main_context_default());
  installMainQueue(previous);
}

TEST(GLibQueueTest, WorkerSyncWaitsForTheLoopAndGetsTheValue) {
  LoopRunner loop;
  auto queue = makeGLibQueue("main");
  int value = 0;
  std::thread worker([&] {
    value = queue->syncValue([&] { return queue->isCurrent() ? 5 : -1; });
    queue->async([&] { loop.quit(); });
  });
  EXPECT_TRUE(loop.run());
  worker.join();
  EXPECT_EQ(value, 5);
}

TEST(GLibQueueTest, TasksRunInPostingOrderAndSyncOnTheLoopRunsInline) {
  GMainContext* context = g_main_context_new();
  {
    LoopRunner loop(context);
    auto queue = makeGLibQueue("private", context);
    std::vector<int> seen;
    std::thread worker([&] {
      for (int i = 0; i < 100; ++i) queue->async([&, i] { seen.push_back(i); });
      queue->async([&] {
        queue->sync([&] { seen.push_back(-1); });  // inline: the loop's thread owns the context
        loop.quit();
      });
    });
    EXPECT_TRUE(loop.run());
    worker.join();
    ASSERT_EQ(seen.size(), 101u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(seen[i], i);
    EXPECT_EQ(seen.back(), -1);
  }
  g_main_context_unref(context);
}

TEST(GLibQueueTest, DelayedWorkFiresInDueOrderUnlessCancelled) {
  GMainContext* context = g_main_context_new();
  {
    LoopRunner loop(context);
    auto queue = makeGLibQueue("timers", context);
    std::vector<std::string> fired;
    queue->asyncAfter(30ms, [&] { fired.push_back("late"); });
    queue->asyncAfter(1ms, [&] { fired.push_back("early"); });
    queue->asyncAfter(2ms, [&] { fired.push_back("cancelled"); }).cancel();
    queue->asyncAfter(50ms, [&] { loop.quit(); });
    EXPECT_TRUE(loop.run());
    EXPECT_EQ(fired, (std::vector<std::string>{"early", "late"}));
  }
  g_main_context_unref(context);
}

TEST(GLibQueueTest, SyncCallerIsReleasedWhenTheContextDropsTheTask) {
#if defined(KESTROM_SANITIZE_THREAD)
  // Only the queue's last owner frees the context, so the test drops the queue while the caller
  // may still be returning from posting to it; ThreadSanitizer rightly reports that window.
  GTEST_SKIP() << "drops the queue under a caller on purpose";
#endif
  GMainContext* context = g_main_context_new();
  auto queue = makeGLibQueue("dropped", context);
  std::atomic<bool> threw{false};
  // The worker keeps its own pointer to the queue object: the test's handle is reset below.
  Queue* raw = queue.get();
  std::thread worker([raw, &threw] {
    try {
      raw->sync([] {});
    } catch (const std::runtime_error&) {
      threw = true;
    }
  });
  // Wait until the task is attached, then free the context unrun: its sources are destroyed.
  while (!g_main_context_pending(context)) std::this_thread::yield();
  queue.reset();
  g_main_context_unref(context);
  worker.join();
  EXPECT_TRUE(threw);
}

}  // namespace
}  // namespace kestrom::dispatch

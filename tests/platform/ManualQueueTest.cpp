#include "platform/dispatch/ManualQueue.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"

namespace kestrom::dispatch {
namespace {

using namespace std::chrono_literals;

TEST(ManualQueueTest, NothingRunsUntilTheTestDrains) {
  ManualQueue queue;
  std::vector<std::string> ran;
  queue.async([&] {
    ran.push_back("first");
    queue.async([&] { ran.push_back("follow-on"); });
  });
  queue.async([&] { ran.push_back("second"); });
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(queue.pendingCount(), 2u);
  EXPECT_EQ(queue.runPending(), 3u);
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "follow-on"}));
  EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(ManualQueueTest, DelayedWorkFollowsTheVirtualClockAndCancelledWorkNeverRuns) {
  ManualQueue queue;
  std::vector<std::string> ran;
  auto sentinel = std::make_shared<int>(0);
  queue.asyncAfter(10s, [&] { ran.push_back("kept"); });
  WorkItem cancelled = queue.asyncAfter(10s, [&, sentinel] { ran.push_back("cancelled"); });

  queue.advance(9s);
  EXPECT_TRUE(ran.empty());
  cancelled.cancel();
  EXPECT_TRUE(cancelled.isCancelled());
  EXPECT_EQ(sentinel.use_count(), 1) << "a cancelled task releases what it holds at once";

  queue.advance(1s);
  EXPECT_EQ(ran, (std::vector<std::string>{"kept"}));
  EXPECT_EQ(queue.now(), 10s);
  cancelled.cancel();  // after its time: still harmless
  queue.advance(1h);
  EXPECT_EQ(ran.size(), 1u);
}

// Each row: delays in registration order; the expected firing order. Equal deadlines fire in
// the order they were set.
TEST(ManualQueueTest, TimersFireInDueOrder) {
  struct Row {
    std::vector<std::pair<int, std::string>> timers;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {{{30, "c"}, {10, "a"}, {20, "b"}}, "abc"},
      {{{10, "x"}, {10, "y"}, {5, "w"}, {10, "z"}}, "wxyz"},
      {{{0, "n"}, {1, "o"}}, "no"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    ManualQueue queue;
    std::string fired;
    for (const auto& [seconds, name] : row.timers) {
      queue.asyncAfter(std::chrono::seconds(seconds), [&fired, name = name] { fired += name; });
    }
    queue.advance(1min);
    EXPECT_EQ(fired, row.expected);
  }
}

TEST(ManualQueueTest, AdvanceRunsFollowOnWorkBeforeTheNextTimerAndSeesTheTimersTime) {
  ManualQueue queue;
  std::vector<std::string> ran;
  queue.asyncAfter(10s, [&] {
    ran.push_back("t10@" + std::to_string(queue.now() / 1s));
    queue.async([&] { ran.push_back("follow-on"); });
    queue.asyncAfter(5s, [&] { ran.push_back("t15@" + std::to_string(queue.now() / 1s)); });
  });
  queue.asyncAfter(20s, [&] { ran.push_back("t20"); });
  queue.advance(30s);
  EXPECT_EQ(ran, (std::vector<std::string>{"t10@10", "follow-on", "t15@15", "t20"}));
  EXPECT_EQ(queue.now(), 30s);
}

TEST(ManualQueueTest, ZeroDelayRunsOnTheNextDrain) {
  ManualQueue queue;
  bool ran = false;
  queue.asyncAfter(0s, [&] { ran = true; });
  EXPECT_EQ(queue.runPending(), 1u);
  EXPECT_TRUE(ran);
}

TEST(ManualQueueTest, SyncWhileOnTheQueueRunsInline) {
  ManualQueue queue;
  std::vector<std::string> ran;
  queue.async([&] {
    EXPECT_TRUE(queue.isCurrent());
    queue.sync([&] { ran.push_back("inline"); });
    ran.push_back("after");
  });
  EXPECT_FALSE(queue.isCurrent());
  queue.runPending();
  EXPECT_EQ(ran, (std::vector<std::string>{"inline", "after"}));
}

TEST(ManualQueueTest, SyncFromAWorkerIsRunByTheDrainingTest) {
  ManualQueue queue;
  const auto testThread = std::this_thread::get_id();
  std::atomic<bool> answered{false};
  int value = 0;
  std::thread worker;
  // Started from a task, so the worker's sync arrives while the test is surely draining.
  queue.async([&] {
    worker = std::thread([&] {
      value = queue.syncValue([&] { return std::this_thread::get_id() == testThread ? 7 : -1; });
      answered = true;
    });
  });
  EXPECT_TRUE(queue.runUntil([&] { return answered.load(); }, 5s));
  worker.join();
  EXPECT_EQ(value, 7);
}

TEST(ManualQueueTest, SyncFromAWorkerWhileNobodyDrainsRunsQueuedWorkFirst) {
  ManualQueue queue;
  std::vector<std::string> ran;
  queue.async([&] { ran.push_back("queued"); });
  std::thread worker([&] { queue.sync([&] { ran.push_back("sync"); }); });
  worker.join();  // would hang if the worker waited for a drain that never comes
  EXPECT_EQ(ran, (std::vector<std::string>{"queued", "sync"}));
}

TEST(ManualQueueTest, RunUntilGivesUpAtItsTimeout) {
  ManualQueue queue;
  EXPECT_FALSE(queue.runUntil([] { return false; }, 20ms));
}

TEST(ManualQueueTest, TaskExceptionsDoNotStopTheDrain) {
  log::ScopedRecording recording;
  ManualQueue queue("thrower");
  bool after = false;
  queue.async([] { throw std::runtime_error("bad task"); });
  queue.async([&] { after = true; });
  EXPECT_EQ(queue.runPending(), 2u);
  EXPECT_TRUE(after);
  EXPECT_TRUE(recording.sink().contains("dispatch", "thrower"));
  EXPECT_TRUE(recording.sink().contains("dispatch", "bad task"));
}

}  // namespace
}  // namespace kestrom::dispatch

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "platform/dispatch/DetachedThreads.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"
#include "tests/support/FinishesWithin.h"

namespace kestrom::dispatch {
namespace {

using namespace std::chrono_literals;
using test::finishesWithin;

TEST(QueueTest, SerialQueueRunsTasksOneAtATimeInOrder) {
  auto queue = makeSerialQueue("order");
  std::vector<int> seen;
  std::atomic<int> running{0};
  bool overlapped = false;
  for (int i = 0; i < 200; ++i) {
    queue->async([&, i] {
      overlapped |= ++running > 1;
      seen.push_back(i);
      --running;
    });
  }
  auto count = queue->syncValue([&] { return seen.size(); });
  EXPECT_EQ(count, 200u);
  EXPECT_FALSE(overlapped);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(seen[i], i);
}

TEST(QueueTest, SyncHandsBackTheValueComputedOnTheQueue) {
  auto queue = makeSerialQueue("value");
  EXPECT_FALSE(queue->isCurrent());
  auto [value, onQueue] = queue->syncValue([&] { return std::pair(42, queue->isCurrent()); });
  EXPECT_EQ(value, 42);
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(QueueTest, SyncOntoTheQueueYouAreOnRunsInline) {
  auto queue = makeSerialQueue("inline");
  ASSERT_TRUE(finishesWithin(5s, [queue] {
    int depth = queue->syncValue([&] { return queue->syncValue([&] { return 2; }); });
    EXPECT_EQ(depth, 2);
  }));
}

// A's thread waits in a sync for B; B's task syncs back onto A. Waiting would deadlock; A is
// held by the waiting thread, so the inner task runs inline, still counted as on A.
TEST(QueueTest, SyncBackOntoAWaitingQueueRunsInline) {
  auto a = makeSerialQueue("A");
  auto b = makeSerialQueue("B");
  ASSERT_TRUE(finishesWithin(5s, [a, b] {
    bool onA = a->syncValue([&] {
      return b->syncValue([&] { return a->syncValue([&] { return a->isCurrent(); }); });
    });
    EXPECT_TRUE(onA);
  }));
  // Once the chain is over, B no longer counts as being on A.
  EXPECT_FALSE(b->syncValue([&] { return a->isCurrent(); }));
}

TEST(QueueTest, TaskExceptionsAreLoggedAndNeverStopTheQueue) {
  log::ScopedRecording recording;
  auto queue = makeSerialQueue("throws");
  queue->async([] { throw std::runtime_error("boom"); });
  queue->async([] { throw 7; });
  EXPECT_EQ(queue->syncValue([] { return 1; }), 1);
  EXPECT_TRUE(recording.sink().contains("dispatch", "boom"));
  EXPECT_TRUE(recording.sink().contains("dispatch", "non-standard"));

  // sync hands the exception to its caller instead.
  EXPECT_THROW(queue->sync([] { throw std::logic_error("mine"); }), std::logic_error);
  EXPECT_EQ(queue->syncValue([] { return 2; }), 2);
}

TEST(QueueTest, SerialQueueThreadCarriesTheLabelCutToFifteenCharacters) {
  auto queue = makeSerialQueue("HubService Delegation");
  std::string name = queue->syncValue([] {
    char buffer[32] = {};
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    return std::string(buffer);
  });
  EXPECT_EQ(name, "HubService Dele");
}

TEST(QueueTest, DelayedWorkRunsInDueOrderAndCancelledWorkNever) {
  auto queue = makeSerialQueue("timers");
  std::mutex mutex;
  std::vector<std::string> fired;
  auto record = [&](std::string name) {
    return [&, name] {
      std::lock_guard lock(mutex);
      fired.push_back(name);
    };
  };
  std::promise<void> last;
  // The queue is held busy until all is scheduled and cancelled: however long this thread is
  // kept from running, nothing falls due before the cancel.
  std::promise<void> scheduled;
  queue->async([ready = scheduled.get_future().share()] { ready.wait(); });
  queue->asyncAfter(40ms, record("late"));
  queue->asyncAfter(5ms, record("early"));
  WorkItem cancelled = queue->asyncAfter(1ms, record("cancelled"));
  cancelled.cancel();
  queue->asyncAfter(60ms, [&] { last.set_value(); });
  scheduled.set_value();
  ASSERT_EQ(last.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(cancelled.isCancelled());
  std::lock_guard lock(mutex);
  EXPECT_EQ(fired, (std::vector<std::string>{"early", "late"}));
}

TEST(QueueTest, ReleasingTheQueueRunsQueuedWorkAndDropsDelayedWork) {
  auto queue = makeSerialQueue("release");
  std::promise<void> gate;
  auto opened = gate.get_future().share();
  std::atomic<int> ran{0};
  auto sentinel = std::make_shared<int>(0);
  queue->async([opened] { opened.wait(); });
  for (int i = 0; i < 50; ++i) queue->async([&] { ++ran; });
  queue->asyncAfter(1h, [sentinel] {});
  gate.set_value();
  queue.reset();  // joins: the queued tasks have run when this returns
  EXPECT_EQ(ran.load(), 50);
  EXPECT_EQ(sentinel.use_count(), 1);
}

TEST(QueueTest, LastOwnerReleasedFromTheQueuesOwnTaskDoesNotDeadlock) {
  auto queue = makeSerialQueue("self release");
  auto holder = std::make_shared<std::shared_ptr<Queue>>(queue);
  std::promise<void> gate;
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  queue->async([holder, done, opened = gate.get_future().share()] {
    opened.wait();
    holder->reset();  // the last owner: the destructor runs here, on the queue's own thread
    done->set_value();
  });
  queue.reset();
  holder.reset();
  gate.set_value();
  EXPECT_EQ(finished.wait_for(5s), std::future_status::ready);
  // The end of main() can wait for the thread the queue could not join.
  EXPECT_TRUE(waitForDetachedThreads(5s));
}

TEST(QueueTest, ADetachedThreadCountsUntilItsBodyIsDone) {
  ASSERT_TRUE(waitForDetachedThreads(5s));  // what earlier tests let go of
  ThreadExit exit;
  std::promise<void> gate;
  std::thread thread([exit, opened = gate.get_future()] { opened.wait(); });
  exit.detach(thread);
  EXPECT_EQ(detachedThreadsRunning(), 1);
  EXPECT_FALSE(waitForDetachedThreads(20ms));
  {
    ThreadExit gone = std::move(exit);  // the owner lets go; the thread still holds its copy
  }
  gate.set_value();
  EXPECT_TRUE(waitForDetachedThreads(5s));
  EXPECT_EQ(detachedThreadsRunning(), 0);
}

TEST(QueueTest, QueueMayBeReleasedFromATaskOnAnotherQueue) {
  auto owner = makeSerialQueue("owner");
  auto other = makeSerialQueue("other");
  std::atomic<int> ran{0};
  for (int i = 0; i < 10; ++i) other->async([&] { ++ran; });
  ASSERT_TRUE(finishesWithin(5s, [owner, &other] { owner->sync([&] { other.reset(); }); }));
  EXPECT_EQ(ran.load(), 10);
}

TEST(QueueTest, GroupWaitsForEveryLeaveAndNotifiesOnce) {
  auto worker = makeSerialQueue("group worker");
  ManualQueue target;
  Group group;
  int notified = 0;
  group.enter();
  group.enter();
  group.notify(std::shared_ptr<Queue>(&target, [](Queue*) {}), [&] { ++notified; });
  EXPECT_FALSE(group.waitFor(1ms));
  worker->async([group]() mutable { group.leave(); });
  worker->async([group]() mutable { group.leave(); });
  group.wait();
  worker->sync([] {});  // the notification is posted by the last leave, on the worker
  EXPECT_EQ(target.runPending(), 1u);
  EXPECT_EQ(notified, 1);

  // Nothing in flight: notify posts at once, wait returns at once.
  group.notify(std::shared_ptr<Queue>(&target, [](Queue*) {}), [&] { ++notified; });
  EXPECT_TRUE(group.waitFor(0ms));
  EXPECT_EQ(target.runPending(), 1u);
  EXPECT_EQ(notified, 2);
}

TEST(QueueTest, UnbalancedGroupLeaveIsLoggedAndIgnored) {
  log::ScopedRecording recording;
  Group group;
  group.leave();
  EXPECT_TRUE(recording.sink().contains("dispatch", "without a matching enter"));
  group.enter();  // must count as in flight, not cancel out the stray leave
  EXPECT_FALSE(group.waitFor(0ms));
  group.leave();
  EXPECT_TRUE(group.waitFor(0ms));
}

TEST(QueueTest, InstalledMainQueueReplacesTheDefault) {
  auto previous = mainQueue();
  auto manual = std::make_shared<ManualQueue>("main");
  installMainQueue(manual);
  EXPECT_EQ(mainQueue(), manual);
  installMainQueue(previous);
  EXPECT_EQ(mainQueue(), previous);
}

}  // namespace
}  // namespace kestrom::dispatch

#include "platform/dispatch/QueueCheck.h"

#include <gtest/gtest.h>

#include "platform/dispatch/ManualQueue.h"

namespace kestrom::dispatch {
namespace {

// The checks stop the process, so each failing case runs in a child (death test). "threadsafe"
// re-executes the test binary instead of forking a process that may hold queue threads.
class QueueCheckTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(QueueCheckTest, PassesOnTheHomeQueueAndOnAQueueWaitingInASync) {
  auto home = std::make_shared<ManualQueue>("Home");
  auto store = makeSerialQueue("Store");
  bool checked = false;
  home->async([&] {
    assertOnQueue(*home, "on home");
    // A sync from home onto the store holds home while the store's task runs.
    store->sync([&] {
      assertOnQueue(store, "on store");
      assertOnQueue(*home, "home waits in a sync");
    });
    checked = true;
  });
  home->runPending();
  EXPECT_TRUE(checked);
  assertOnHome(true, "the I/O thread", "on the I/O thread");
}

TEST_F(QueueCheckTest, StopsTheProcessNamingTheQueueAndTheMethod) {
  auto home = std::make_shared<ManualQueue>("Home");
  auto other = makeSerialQueue("Other");
  EXPECT_DEATH(assertOnQueue(*home, "Store::load"), "Store::load must run on the queue \"Home\"");
  EXPECT_DEATH(other->sync([&] { assertOnQueue(home, "Store::save"); }), "Store::save must run on the queue \"Home\"");
  EXPECT_DEATH(assertOnQueue(std::shared_ptr<Queue>{}, "Store::read"), "\\(none\\)");
  EXPECT_DEATH(assertOnHome(false, "the I/O thread", "Listener::run"), "Listener::run must run on the I/O thread");
}

#ifndef NDEBUG
TEST_F(QueueCheckTest, TheMacroChecksInDebugBuilds) {
  auto home = std::make_shared<ManualQueue>("Home");
  EXPECT_DEATH(KESTROM_ASSERT_ON_QUEUE(home), "must run on the queue \"Home\"");
  home->sync([&] { KESTROM_ASSERT_ON_QUEUE(home); });
}
#else
TEST_F(QueueCheckTest, TheMacroIsFreeInReleaseBuilds) {
  int evaluated = 0;
  [[maybe_unused]] auto count = [&]() -> std::shared_ptr<Queue> {
    ++evaluated;
    return nullptr;
  };
  KESTROM_ASSERT_ON_QUEUE(count());
  EXPECT_EQ(evaluated, 0);
}
#endif

}  // namespace
}  // namespace kestrom::dispatch

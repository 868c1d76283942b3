#include "platform/gamepads/FakeGamepads.h"

#include <gtest/gtest.h>

#include "platform/dispatch/ManualQueue.h"

namespace kestrom::gamepads {
namespace {

GamepadState pad(std::int32_t id, const char* name) {
  GamepadState state;
  state.info.id = id;
  state.info.name = name;
  return state;
}

// The bookkeeping every backend shares, driven through the fake on a queue the test drains.
TEST(FakeGamepadsTest, EventsFollowTheChangesAndOnlyTheCurrentSubscriberHearsThem) {
  auto queue = std::make_shared<dispatch::ManualQueue>();
  FakeGamepads gamepads(queue);
  std::vector<GamepadEvent> first, second;
  gamepads.connect(pad(1, "before anyone listens"));  // no subscriber: nothing queued
  EXPECT_EQ(queue->pendingCount(), 0u);

  gamepads.subscribe([&](const GamepadEvent& e) { first.push_back(e); });
  gamepads.connect(pad(2, "two"));
  gamepads.connect(pad(2, "two again"));  // already known: ignored
  gamepads.disconnect(7);                  // unknown: ignored
  // Replaced before the queue ran: the events queued for `first` are dropped, and `second` hears
  // of both controllers once, in order of arrival.
  gamepads.subscribe([&](const GamepadEvent& e) { second.push_back(e); });
  queue->runPending();
  EXPECT_TRUE(first.empty());
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0].gamepad.name, "before anyone listens");
  EXPECT_EQ(second[1].gamepad.id, 2);

  GamepadState moved = pad(2, "two");
  moved.a = {true, true, 1.0f};
  moved.leftStickY = 0.5f;
  gamepads.setState(moved);
  gamepads.setState(pad(9, "unknown"));  // ignored
  const auto snapshot = gamepads.snapshot();
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_TRUE(snapshot[1].a.pressed);
  EXPECT_EQ(snapshot[1].leftStickY, 0.5f);

  gamepads.disconnect(1);
  queue->runPending();
  ASSERT_EQ(second.size(), 3u);
  EXPECT_EQ(second[2].kind, GamepadEvent::Kind::disconnected);
  EXPECT_EQ(second[2].gamepad.name, "before anyone listens");
  EXPECT_EQ(gamepads.snapshot().size(), 1u);
}

TEST(FakeGamepadsTest, EventsQueuedWhenTheLayerGoesAwayDoNothing) {
  auto queue = std::make_shared<dispatch::ManualQueue>();
  int heard = 0;
  {
    FakeGamepads gamepads(queue);
    gamepads.subscribe([&](const GamepadEvent&) { ++heard; });
    gamepads.connect(pad(1, "one"));
    gamepads.disconnect(1);
  }
  EXPECT_EQ(queue->runPending(), 2u);
  EXPECT_EQ(heard, 0);
}

}  // namespace
}  // namespace kestrom::gamepads

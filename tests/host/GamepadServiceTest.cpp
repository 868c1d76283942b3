// The gamepad service over stand-in controllers on a virtual clock: the rate rules, the
// announcements, which controller is sampled, and the page's layout of one snapshot.

#include "KestromKit/host/GamepadService.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/dispatch/ManualQueue.h"
#include "platform/gamepads/FakeGamepads.h"
#include "tests/support/FrameRecorder.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

gamepads::GamepadState pad(std::int32_t id, std::string name) {
  gamepads::GamepadState state;
  state.info = {id, std::move(name), 0x1234, 0x5678};
  for (auto* button : {&state.a, &state.b, &state.x, &state.y, &state.leftShoulder, &state.rightShoulder,
                       &state.leftTrigger, &state.rightTrigger, &state.dpadUp, &state.dpadDown, &state.dpadLeft,
                       &state.dpadRight})
    button->present = true;
  return state;
}

class GamepadServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch::installMainQueue(main_);
    onMain_ = std::make_unique<dispatch::ManualQueue::Presence>(*main_);  // the test plays the main thread
  }
  void TearDown() override {
    service_.reset();
    onMain_.reset();
    dispatch::installMainQueue(nullptr);
  }

  Expected<std::shared_ptr<GamepadService>, std::string> subscribe(double hz) {
    return GamepadService::make(page_, gamepads_, hz, [this] { return main_->now(); });
  }
  std::size_t snapshots() const { return page_->notifications("gamepad/snapshot").size(); }

  std::shared_ptr<dispatch::ManualQueue> main_ = std::make_shared<dispatch::ManualQueue>("main");
  std::unique_ptr<dispatch::ManualQueue::Presence> onMain_;
  std::shared_ptr<test::FrameRecorder> page_ = std::make_shared<test::FrameRecorder>();
  std::shared_ptr<gamepads::FakeGamepads> gamepads_ = std::make_shared<gamepads::FakeGamepads>(main_);
  std::shared_ptr<GamepadService> service_;
};

TEST_F(GamepadServiceTest, RatesThatAreNoRateAreRefusedAndHighRatesAreLowered) {
  // Below one snapshot an hour the period does not fit the timer (1e-300 Hz overflowed it into a
  // timer that fired without pause): refused with the same reply as 0.
  const std::string zero = subscribe(0.0).error();
  for (double hz : {0.0, -5.0, std::numeric_limits<double>::infinity(), std::nan(""), 1e-300, 1e-9,
                    std::numeric_limits<double>::denorm_min(), 0.99 / 3600}) {
    SCOPED_TRACE(hz);
    auto refused = subscribe(hz);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().rfind("Invalid gamepad target rate: ", 0), 0u) << refused.error();
    if (hz >= 0 && hz < 1e-6) {
      EXPECT_EQ(refused.error(), zero);
    }
  }
  auto hourly = subscribe(1.0 / 3600);
  ASSERT_TRUE(hourly);
  EXPECT_NEAR(std::chrono::duration<double>((*hourly)->interval()).count(), 3600.0, 1e-6);
  EXPECT_LE(main_->pendingCount(), 1u);
  main_->advance(59min);
  EXPECT_TRUE(page_->frames().empty());
  auto sixty = subscribe(60);
  ASSERT_TRUE(sixty);
  EXPECT_EQ((*sixty)->interval(), std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(1.0 / 60)));
  auto fast = subscribe(10000);
  ASSERT_TRUE(fast);
  EXPECT_EQ((*fast)->interval(), std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(1.0 / 120)));
}

TEST_F(GamepadServiceTest, WithoutAControllerNothingIsSentHoweverFastTheTimerRuns) {
  service_ = *subscribe(120);
  main_->advance(2s);
  EXPECT_TRUE(page_->frames().empty());
}

TEST_F(GamepadServiceTest, SnapshotsFollowTheRateAndTheFirstControllerInOrderOfArrival) {
  gamepads_->connect(pad(7, "First Pad"));
  service_ = *subscribe(60);
  main_->runPending();
  gamepads_->connect(pad(9, "Second Pad"));
  main_->runPending();
  auto connected = page_->notifications("gamepad/connected");
  ASSERT_EQ(connected.size(), 2u);
  EXPECT_EQ(connected[0]["params"], Json::parse(R"({"id":"First Pad"})"));
  EXPECT_EQ(connected[1]["params"], Json::parse(R"({"id":"Second Pad"})"));

  main_->advance(1s);
  EXPECT_EQ(snapshots(), 60u);
  EXPECT_EQ(page_->notifications("gamepad/snapshot").back()["params"]["snapshot"]["id"], "First Pad");

  gamepads_->disconnect(7);
  main_->runPending();
  EXPECT_EQ(page_->notifications("gamepad/disconnected").at(0)["params"], Json::parse(R"({"id":"First Pad"})"));
  main_->advance(100ms);
  EXPECT_EQ(page_->notifications("gamepad/snapshot").back()["params"]["snapshot"]["id"], "Second Pad");
}

TEST_F(GamepadServiceTest, AControllerUnpluggedBeforeItsDepartureArrivesIsSkipped) {
  gamepads_->connect(pad(3, "Pad"));
  service_ = *subscribe(100);
  main_->runPending();
  gamepads_->disconnect(3);  // its state is gone at once; the event waits in the queue
  service_->sendSnapshot();
  EXPECT_EQ(snapshots(), 0u);
  main_->advance(50ms);
  EXPECT_EQ(page_->notifications("gamepad/disconnected").size(), 1u);
  EXPECT_EQ(snapshots(), 0u);
}

TEST_F(GamepadServiceTest, ASecondSubscriptionStopsTheFirstTimerAndAnnouncesControllersAgain) {
  gamepads_->connect(pad(1, "Pad"));
  service_ = *subscribe(10);
  main_->runPending();
  service_ = *subscribe(20);  // the kit's replacement: the new one first, then the old one goes
  main_->runPending();
  EXPECT_EQ(page_->notifications("gamepad/connected").size(), 2u);
  main_->advance(1s);
  EXPECT_EQ(snapshots(), 20u);
}

TEST_F(GamepadServiceTest, TheSnapshotHasTheStandardLayout) {
  auto state = pad(4, "");
  state.b = {true, true, 1.0f};
  state.leftTrigger = {true, true, 0.5f};
  state.dpadLeft = {true, true, 1.0f};
  state.leftThumbstickButton = {false, true, 1.0f};  // a control the pad lacks reads as released
  state.leftStickX = 0.25f;
  state.leftStickY = 0.5f;
  state.rightStickX = -1.0f;
  state.rightStickY = -0.75f;
  IGamepad snapshot = GamepadService::makeSnapshot(state);
  EXPECT_EQ(snapshot.axes, (std::vector<double>{0.25, -0.5, -1.0, 0.75}));
  ASSERT_EQ(snapshot.buttons.size(), 18u);
  for (std::size_t i = 0; i < snapshot.buttons.size(); ++i) {
    SCOPED_TRACE(i);
    const bool down = i == 1 || i == 6 || i == 14;
    EXPECT_EQ(snapshot.buttons[i].pressed, down);
    EXPECT_EQ(snapshot.buttons[i].value, i == 6 ? 0.5 : (down ? 1.0 : 0.0));
  }
  EXPECT_TRUE(snapshot.connected);
  EXPECT_EQ(snapshot.id, "");
  EXPECT_EQ(snapshot.mapping, "standard");
  EXPECT_EQ(snapshot.index, 0);
  EXPECT_EQ(snapshot.timestamp, 0);
  EXPECT_FALSE(snapshot.pose);
  EXPECT_TRUE(snapshot.hapticActuators.empty());
  EXPECT_EQ(snapshot.hand, "");
}

}  // namespace
}  // namespace kestrom

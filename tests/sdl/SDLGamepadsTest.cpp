#include "platform/gamepads/SDLGamepads.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dispatch/ManualQueue.h"

namespace kestrom::gamepads {
namespace {

using namespace std::chrono_literals;

// A controller made by SDL itself, standing in for a plugged-in one. Its triggers are full-range
// axes that SDL maps onto 0...32767, so they rest at -32768.
class VirtualPad {
 public:
  explicit VirtualPad(const char* name, Uint16 vendor = 0x1234, Uint16 product = 0x5678) {
    SDL_VirtualJoystickDesc desc{};
    desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    desc.naxes = SDL_CONTROLLER_AXIS_MAX;
    desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    desc.vendor_id = vendor;
    desc.product_id = product;
    desc.name = name;
    const int index = SDL_JoystickAttachVirtualEx(&desc);
    EXPECT_GE(index, 0) << SDL_GetError();
    joystick_ = SDL_JoystickOpen(index);
    EXPECT_NE(joystick_, nullptr) << SDL_GetError();
    id_ = SDL_JoystickInstanceID(joystick_);
    setAxis(SDL_CONTROLLER_AXIS_TRIGGERLEFT, -32768);
    setAxis(SDL_CONTROLLER_AXIS_TRIGGERRIGHT, -32768);
  }
  ~VirtualPad() { detach(); }

  SDL_JoystickID id() const { return id_; }
  void setButton(SDL_GameControllerButton button, bool down) {
    SDL_JoystickSetVirtualButton(joystick_, button, down ? 1 : 0);
  }
  void setAxis(SDL_GameControllerAxis axis, Sint16 value) { SDL_JoystickSetVirtualAxis(joystick_, axis, value); }
  void detach() {
    if (joystick_ == nullptr) return;
    for (int i = 0; i < SDL_NumJoysticks(); ++i) {
      if (SDL_JoystickGetDeviceInstanceID(i) == id_) SDL_JoystickDetachVirtual(i);
    }
    SDL_JoystickClose(joystick_);
    joystick_ = nullptr;
  }

 private:
  SDL_Joystick* joystick_ = nullptr;
  SDL_JoystickID id_ = -1;
};

class SDLGamepadsTest : public ::testing::Test {
 protected:
  std::shared_ptr<dispatch::ManualQueue> queue_ = std::make_shared<dispatch::ManualQueue>();
  std::vector<GamepadEvent> events_;  // touched on the test thread only, while it drains queue_

  GamepadEventHandler recorder() {
    return [this](const GamepadEvent& event) { events_.push_back(event); };
  }
  bool waitForEvents(std::size_t count) {
    return queue_->runUntil([&] { return events_.size() >= count; }, 30s);
  }
};

std::optional<GamepadState> stateOf(const Gamepads& gamepads, std::int32_t id) {
  for (const auto& state : gamepads.snapshot()) {
    if (state.info.id == id) return state;
  }
  return std::nullopt;
}

TEST_F(SDLGamepadsTest, AnnouncesControllersAsTheyComeAndGo) {
  SDLGamepads gamepads(queue_);
  gamepads.subscribe(recorder());
  VirtualPad first("First Pad", 0x045e, 0x028e);
  VirtualPad second("Second Pad");
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_EQ(events_[0].kind, GamepadEvent::Kind::connected);
  EXPECT_EQ(events_[0].gamepad.id, first.id());
  EXPECT_EQ(events_[0].gamepad.name, "First Pad");
  EXPECT_EQ(events_[0].gamepad.vendorID, 0x045e);
  EXPECT_EQ(events_[0].gamepad.productID, 0x028e);
  EXPECT_EQ(events_[1].gamepad.id, second.id());
  const auto snapshot = gamepads.snapshot();
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(snapshot[0].info.id, first.id());  // in order of arrival

  first.detach();
  ASSERT_TRUE(waitForEvents(3));
  EXPECT_EQ(events_[2].kind, GamepadEvent::Kind::disconnected);
  EXPECT_EQ(events_[2].gamepad.id, first.id());
  EXPECT_EQ(events_[2].gamepad.name, "First Pad");
  ASSERT_EQ(gamepads.snapshot().size(), 1u);

  // A new subscriber hears of the controllers already there; the old one hears nothing more.
  events_.clear();
  std::vector<GamepadEvent> fresh;
  gamepads.subscribe([&](const GamepadEvent& event) { fresh.push_back(event); });
  ASSERT_TRUE(queue_->runUntil([&] { return fresh.size() == 1; }, 30s));
  EXPECT_EQ(fresh[0].kind, GamepadEvent::Kind::connected);
  EXPECT_EQ(fresh[0].gamepad.id, second.id());
  gamepads.unsubscribe();
  second.detach();
  ASSERT_TRUE(queue_->runUntil([&] { return gamepads.snapshot().empty(); }, 30s));
  queue_->runPending();
  EXPECT_EQ(fresh.size(), 1u);
  EXPECT_TRUE(events_.empty());
}

TEST_F(SDLGamepadsTest, SnapshotCarriesButtonsSticksAndTriggers) {
  SDLGamepads gamepads(queue_);
  VirtualPad pad("Test Pad");
  pad.setButton(SDL_CONTROLLER_BUTTON_A, true);
  pad.setButton(SDL_CONTROLLER_BUTTON_DPAD_LEFT, true);
  pad.setButton(SDL_CONTROLLER_BUTTON_RIGHTSTICK, true);
  pad.setAxis(SDL_CONTROLLER_AXIS_LEFTX, 32767);
  pad.setAxis(SDL_CONTROLLER_AXIS_LEFTY, -32768);  // pushed up
  pad.setAxis(SDL_CONTROLLER_AXIS_RIGHTY, 32767);  // pulled down
  pad.setAxis(SDL_CONTROLLER_AXIS_TRIGGERLEFT, 32767);

  std::optional<GamepadState> state;
  for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
    state = stateOf(gamepads, pad.id());
    if (state && state->a.pressed && state->leftTrigger.value == 1.0f) break;
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(state);
  EXPECT_EQ(state->info.name, "Test Pad");
  EXPECT_TRUE(state->a.present);
  EXPECT_TRUE(state->a.pressed);
  EXPECT_EQ(state->a.value, 1.0f);
  EXPECT_FALSE(state->b.pressed);
  EXPECT_EQ(state->b.value, 0.0f);
  EXPECT_TRUE(state->dpadLeft.pressed);
  EXPECT_FALSE(state->dpadRight.pressed);
  EXPECT_TRUE(state->rightThumbstickButton.present);
  EXPECT_TRUE(state->rightThumbstickButton.pressed);
  EXPECT_FALSE(state->leftThumbstickButton.pressed);
  EXPECT_EQ(state->leftStickX, 1.0f);
  EXPECT_EQ(state->leftStickY, 1.0f);
  EXPECT_EQ(state->rightStickX, 0.0f);
  EXPECT_NEAR(state->rightStickY, -1.0f, 1e-4);
  EXPECT_TRUE(state->leftTrigger.pressed);
  EXPECT_EQ(state->leftTrigger.value, 1.0f);
  EXPECT_TRUE(state->rightTrigger.present);
  EXPECT_FALSE(state->rightTrigger.pressed);
  EXPECT_EQ(state->rightTrigger.value, 0.0f);

  pad.setAxis(SDL_CONTROLLER_AXIS_TRIGGERLEFT, 0);  // half way
  for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
    state = stateOf(gamepads, pad.id());
    if (state && state->leftTrigger.value < 1.0f) break;
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(state);
  EXPECT_NEAR(state->leftTrigger.value, 0.5f, 0.01f);
}

TEST_F(SDLGamepadsTest, ControllersUnpluggedWhileSnapshotsAreTakenAreDroppedCleanly) {
  SDLGamepads gamepads(queue_, 1ms);
  std::atomic<bool> stop = false;
  std::atomic<int> snapshots = 0;
  std::thread reader([&] {
    while (!stop) {
      for (const auto& state : gamepads.snapshot()) EXPECT_GE(state.info.id, 0);
      ++snapshots;
    }
  });
  for (int round = 0; round < 20; ++round) {
    VirtualPad pad("Flaky Pad");
    pad.setButton(SDL_CONTROLLER_BUTTON_B, round % 2 == 0);
    pad.setAxis(SDL_CONTROLLER_AXIS_LEFTX, static_cast<Sint16>(round * 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
  }  // each pad is detached as it goes out of scope, often before the layer has read it
  EXPECT_TRUE(queue_->runUntil([&] { return gamepads.snapshot().empty(); }, 30s));
  stop = true;
  reader.join();
  EXPECT_GT(snapshots, 0);
}

}  // namespace
}  // namespace kestrom::gamepads

#include "KestromKit/host/GamepadService.h"

#include <algorithm>
#include <cmath>

#include "KestromKit/base/Constants.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace {

using NotificationCase = RPC::Notification::Case;

IGamepadButton button(const gamepads::ButtonState& state) {
  if (!state.present) return {};
  return {state.pressed, static_cast<double>(state.value)};
}

dispatch::Duration steadyNow() { return std::chrono::steady_clock::now().time_since_epoch(); }

}  // namespace

Expected<std::shared_ptr<GamepadService>, std::string> GamepadService::make(std::shared_ptr<RPCInterface> interface,
                                                                           std::shared_ptr<gamepads::Gamepads> gamepads,
                                                                           double targetHz, Clock clock) {
  // 1/h is no period for these: a timer that never fires or fires without pause. Below one
  // snapshot an hour the period would not fit the timer's clock (1e-300 Hz overflows it into a
  // timer that fires without pause), and nobody waits that long for a snapshot.
  if (!std::isfinite(targetHz) || targetHz < kMinTargetHz)
    return makeUnexpected("Invalid gamepad target rate: " + std::to_string(targetHz));
  const double hz = std::min(targetHz, kMaxTargetHz);
  auto interval = std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(1.0 / hz));
  std::shared_ptr<GamepadService> service(
      new GamepadService(std::move(interface), std::move(gamepads), interval, clock ? std::move(clock) : steadyNow));
  service->start();
  return service;
}

GamepadService::GamepadService(std::shared_ptr<RPCInterface> interface, std::shared_ptr<gamepads::Gamepads> gamepads,
                               dispatch::Duration interval, Clock clock)
    : interface_(std::move(interface)), gamepads_(std::move(gamepads)), interval_(interval), clock_(std::move(clock)) {}

// The layer keeps the handler of whichever service subscribed last; a replaced service's handler
// holds it weakly and falls silent, so nothing is unsubscribed here (that would silence the
// service that replaced this one).
GamepadService::~GamepadService() { timer_.cancel(); }

void GamepadService::start() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  std::weak_ptr<GamepadService> weak = weak_from_this();
  // Controllers already connected are announced first, through the same path as later arrivals.
  gamepads_->subscribe([weak](const gamepads::GamepadEvent& event) {
    if (auto self = weak.lock()) self->onGamepadEvent(event);
  });
  nextTick_ = clock_() + interval_;
  scheduleTick();
}

// Ticks are placed on a fixed grid (start + n * interval), so the queue's lateness does not
// accumulate; after a long stall the grid restarts from now instead of sending a burst.
void GamepadService::scheduleTick() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto now = clock_();
  if (nextTick_ + interval_ < now) nextTick_ = now + interval_;
  auto delay = std::max(nextTick_ - now, dispatch::Duration::zero());
  std::weak_ptr<GamepadService> weak = weak_from_this();
  timer_ = dispatch::mainQueue()->asyncAfter(delay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->nextTick_ += self->interval_;
    self->sendSnapshot();
    self->scheduleTick();
  });
}

void GamepadService::onGamepadEvent(const gamepads::GamepadEvent& event) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  const auto& info = event.gamepad;
  auto known = std::find_if(connectedGamepads_.begin(), connectedGamepads_.end(),
                            [&](const gamepads::GamepadInfo& g) { return g.id == info.id; });
  if (event.kind == gamepads::GamepadEvent::Kind::connected) {
    if (known != connectedGamepads_.end()) return;
    connectedGamepads_.push_back(info);
    interface_->send(RPC::Notification::make<NotificationCase::gamepadConnected>(RPCNotifyGamepadConnectedParams{info.name}));
    return;
  }
  if (known == connectedGamepads_.end()) return;
  interface_->send(
      RPC::Notification::make<NotificationCase::gamepadDisconnected>(RPCNotifyGamepadDisconnectedParams{info.name}));
  connectedGamepads_.erase(known);
}

void GamepadService::sendSnapshot() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (connectedGamepads_.empty()) return;
  const auto sampled = connectedGamepads_.front().id;
  // The layer's state may already lack a controller whose departure is still on its way here.
  for (const auto& state : gamepads_->snapshot()) {
    if (state.info.id != sampled) continue;
    interface_->send(
        RPC::Notification::make<NotificationCase::gamepadSnapshot>(RPCNotifyGamepadSnapshotParams{makeSnapshot(state)}));
    return;
  }
}

IGamepad GamepadService::makeSnapshot(const gamepads::GamepadState& state) {
  IGamepad pad;
  // The page's y axes grow downwards (subtracted from 0 so a centred stick reads 0, not -0).
  pad.axes = {state.leftStickX, 0.0 - static_cast<double>(state.leftStickY), state.rightStickX,
              0.0 - static_cast<double>(state.rightStickY)};
  pad.buttons = {
      button(state.a),           button(state.b),           button(state.x),
      button(state.y),           button(state.leftShoulder), button(state.rightShoulder),
      button(state.leftTrigger), button(state.rightTrigger), {},
      {},                        button(state.leftThumbstickButton), button(state.rightThumbstickButton),
      button(state.dpadUp),      button(state.dpadDown),    button(state.dpadLeft),
      button(state.dpadRight),   {},                        {},
  };
  pad.connected = true;
  pad.id = state.info.name;
  pad.index = 0;
  pad.mapping = "standard";
  pad.timestamp = 0;
  return pad;
}

}  // namespace kestrom

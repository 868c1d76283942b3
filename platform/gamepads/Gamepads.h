#pragma once
// Game controllers: who is connected (events in order of arrival) and the latest state of each.
// Only controllers with a standard layout (face buttons, shoulders, triggers, two sticks, d-pad)
// are reported; other joysticks are not. The Linux backend is SDLGamepads (SDL2 GameController);
// FakeGamepads lets tests connect, move and unplug controllers.
//
// The base keeps the bookkeeping every backend shares: backends report arrivals, departures and
// new states from their own thread through the protected calls; the base hands events to the
// subscriber on the queue given at creation. Threads: snapshot() from any thread;
// subscribe()/unsubscribe() from any thread, but a handler that was replaced is guaranteed silent
// only when the replacement happens on the delivery queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace kestrom::gamepads {

struct GamepadInfo {
  std::int32_t id = -1;  // unique while the process runs; a controller plugged in again gets a new one
  std::string name;      // as the system names the controller; may be empty
  std::uint16_t vendorID = 0;
  std::uint16_t productID = 0;
};

struct ButtonState {
  bool present = false;  // the controller has this control
  bool pressed = false;
  float value = 0.0f;  // 0 (released) to 1 (fully pressed)
};

/// One controller at one moment. Sticks run from -1 to 1, x growing to the right and y upwards.
struct GamepadState {
  GamepadInfo info;
  ButtonState a, b, x, y;
  ButtonState leftShoulder, rightShoulder;
  ButtonState leftTrigger, rightTrigger;  // analogue: pressed once past kTriggerPressedThreshold
  ButtonState leftThumbstickButton, rightThumbstickButton;
  ButtonState dpadUp, dpadDown, dpadLeft, dpadRight;
  float leftStickX = 0.0f, leftStickY = 0.0f;
  float rightStickX = 0.0f, rightStickY = 0.0f;
};

/// How far a trigger must travel to count as pressed (30 of 255, the usual trigger dead zone).
inline constexpr float kTriggerPressedThreshold = 30.0f / 255.0f;

struct GamepadEvent {
  enum class Kind { connected, disconnected };
  Kind kind;
  GamepadInfo gamepad;
};

using GamepadEventHandler = std::function<void(const GamepadEvent&)>;

class Gamepads {
 public:
  explicit Gamepads(std::shared_ptr<dispatch::Queue> queue);
  virtual ~Gamepads();
  Gamepads(const Gamepads&) = delete;
  Gamepads& operator=(const Gamepads&) = delete;

  /// Sends `handler`, on the delivery queue, a "connected" event for every controller connected
  /// now (in order of arrival), then every later change. Replaces the previous handler; events
  /// still queued for that one are dropped.
  void subscribe(GamepadEventHandler handler);
  void unsubscribe();
  /// The latest state of every connected controller, in order of arrival.
  std::vector<GamepadState> snapshot() const;

 protected:
  /// A controller arrived, in `state`. Ignored when its id is already known.
  void addGamepad(const GamepadState& state);
  /// A controller left. Ignored when its id is unknown.
  void removeGamepad(std::int32_t id);
  /// New state of a known controller (unknown ids are ignored).
  void updateGamepad(const GamepadState& state);

 private:
  struct Subscription;
  void post(GamepadEvent event);  // with mutex_ held, so events queue in the order of changes

  std::shared_ptr<dispatch::Queue> queue_;
  mutable std::mutex mutex_;  // guards gamepads_ and the subscription's handler and generation
  std::vector<GamepadState> gamepads_;
  std::shared_ptr<Subscription> subscription_;  // shared with the queued deliveries
};

}  // namespace kestrom::gamepads

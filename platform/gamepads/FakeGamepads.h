#pragma once
// Gamepads the test plugs in, moves and unplugs; events reach the subscriber through the delivery
// queue exactly as the SDL backend's do. Any thread.

#include "platform/gamepads/Gamepads.h"

namespace kestrom::gamepads {

class FakeGamepads final : public Gamepads {
 public:
  using Gamepads::Gamepads;

  /// Plugs in a controller (its id from `state.info`).
  void connect(const GamepadState& state) { addGamepad(state); }
  /// Moves sticks and buttons of a connected controller.
  void setState(const GamepadState& state) { updateGamepad(state); }
  void disconnect(std::int32_t id) { removeGamepad(id); }
};

}  // namespace kestrom::gamepads

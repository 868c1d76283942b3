#pragma once
// Streams the first connected game controller to the page: "gamepad/connected" and
// "gamepad/disconnected" as controllers come and go, and "gamepad/snapshot" at the rate the page
// subscribed with, in the browser's "standard" layout. A controller is named by what the system
// calls it (its vendor's name is not known on Linux), "" when it has no name.
//
// Home queue: main (the snapshot timer and the controller events, which the Gamepads layer
// delivers there). Owner: the kit, one per subscription; a new subscription replaces the old
// service, whose timer stops when it goes.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KestromKit/base/Expected.h"
#include "KestromKit/model/NotificationRecords.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "platform/dispatch/Queue.h"
#include "platform/gamepads/Gamepads.h"

namespace kestrom {

class GamepadService : public std::enable_shared_from_this<GamepadService> {
 public:
  /// Time on the main queue's clock; the snapshot ticks are placed on it.
  using Clock = std::function<dispatch::Duration()>;

  /// Snapshots are never sent more often than this; a higher rate is lowered to it.
  static constexpr double kMaxTargetHz = 120.0;

  /// The lowest rate taken: one snapshot an hour.
  static constexpr double kMinTargetHz = 1.0 / 3600.0;

  /// Starts a subscription at `targetHz` snapshots per second. A rate below kMinTargetHz (zero,
  /// negative, too small for the timer) or not finite is refused with the text of the error reply. `clock` defaults to the steady clock.
  static Expected<std::shared_ptr<GamepadService>, std::string> make(std::shared_ptr<RPCInterface> interface,
                                                                     std::shared_ptr<gamepads::Gamepads> gamepads,
                                                                     double targetHz, Clock clock = {});
  ~GamepadService();
  GamepadService(const GamepadService&) = delete;
  GamepadService& operator=(const GamepadService&) = delete;

  /// Time between two snapshots.
  dispatch::Duration interval() const { return interval_; }
  /// Sends the snapshot of the first connected controller, if there is one. Main queue.
  void sendSnapshot();

  /// The page's view of one controller's state.
  static IGamepad makeSnapshot(const gamepads::GamepadState& state);

 private:
  GamepadService(std::shared_ptr<RPCInterface> interface, std::shared_ptr<gamepads::Gamepads> gamepads,
                 dispatch::Duration interval, Clock clock);
  void start();
  void scheduleTick();
  void onGamepadEvent(const gamepads::GamepadEvent& event);

  std::shared_ptr<RPCInterface> interface_;
  std::shared_ptr<gamepads::Gamepads> gamepads_;
  dispatch::Duration interval_;
  Clock clock_;
  dispatch::Duration nextTick_{};
  dispatch::WorkItem timer_;
  std::vector<gamepads::GamepadInfo> connectedGamepads_;  // in order of arrival; the first is sampled
};

}  // namespace kestrom

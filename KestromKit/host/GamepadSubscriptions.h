#pragma once
// The page's game-controller subscription: each "gamepad/subscribe" starts a GamepadService at the
// asked rate and lets the one before it go (its timer stops as it goes); a rate that is no rate is
// refused with an error reply and leaves the running subscription alone. Subscriptions are not
// answered otherwise. The controllers are opened at the first subscription.
//
// Home queue: main. Owner: the kit, for the life of the process.

#include <functional>
#include <memory>
#include <string>

#include "KestromKit/host/GamepadService.h"
#include "KestromKit/model/RequestRecords.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "platform/gamepads/Gamepads.h"

namespace kestrom {

class GamepadSubscriptions {
 public:
  /// Hands out the game controllers, delivering on the main queue; called once, at the first
  /// subscription.
  using GamepadsSource = std::function<std::shared_ptr<gamepads::Gamepads>()>;

  GamepadSubscriptions(std::shared_ptr<RPCInterface> interface, GamepadsSource gamepads);

  void subscribe(const std::string& requestID, const RPCRequestGamepadSubscribeParams& params);
  /// The running subscription; none before the first one.
  const std::shared_ptr<GamepadService>& current() const;

 private:
  const std::shared_ptr<RPCInterface> interface_;
  GamepadsSource source_;
  std::shared_ptr<gamepads::Gamepads> gamepads_;  // made at the first subscription
  std::shared_ptr<GamepadService> current_;
};

}  // namespace kestrom

#include "KestromKit/host/GamepadSubscriptions.h"

#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

GamepadSubscriptions::GamepadSubscriptions(std::shared_ptr<RPCInterface> interface, GamepadsSource gamepads)
    : interface_(std::move(interface)), source_(std::move(gamepads)) {}

void GamepadSubscriptions::subscribe(const std::string& requestID, const RPCRequestGamepadSubscribeParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!gamepads_) gamepads_ = source_();
  auto service = GamepadService::make(interface_, gamepads_, params.targetHz);
  if (!service) {
    interface_->send(RPC::Response::error(requestID, service.error()));
    return;
  }
  current_ = std::move(*service);  // the previous service stops its timer as it goes
}

const std::shared_ptr<GamepadService>& GamepadSubscriptions::current() const {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  return current_;
}

}  // namespace kestrom

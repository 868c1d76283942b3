#include "platform/gamepads/Gamepads.h"

#include <algorithm>

namespace kestrom::gamepads {

// What a queued delivery needs, kept alive by the deliveries themselves so none of them touches a
// Gamepads that is gone.
struct Gamepads::Subscription {
  std::mutex mutex;  // guards handler and generation
  GamepadEventHandler handler;
  std::uint64_t generation = 0;  // bumped by every subscribe and unsubscribe
};

Gamepads::Gamepads(std::shared_ptr<dispatch::Queue> queue)
    : queue_(std::move(queue)), subscription_(std::make_shared<Subscription>()) {}

Gamepads::~Gamepads() { unsubscribe(); }

void Gamepads::subscribe(GamepadEventHandler handler) {
  std::lock_guard lock(mutex_);
  {
    std::lock_guard sub(subscription_->mutex);
    subscription_->handler = std::move(handler);
    ++subscription_->generation;
  }
  for (const auto& gamepad : gamepads_) post({GamepadEvent::Kind::connected, gamepad.info});
}

void Gamepads::unsubscribe() {
  std::lock_guard sub(subscription_->mutex);
  subscription_->handler = nullptr;
  ++subscription_->generation;
}

std::vector<GamepadState> Gamepads::snapshot() const {
  std::lock_guard lock(mutex_);
  return gamepads_;
}

void Gamepads::addGamepad(const GamepadState& state) {
  std::lock_guard lock(mutex_);
  const auto known = std::find_if(gamepads_.begin(), gamepads_.end(),
                                  [&](const GamepadState& g) { return g.info.id == state.info.id; });
  if (known != gamepads_.end()) return;
  gamepads_.push_back(state);
  post({GamepadEvent::Kind::connected, state.info});
}

void Gamepads::removeGamepad(std::int32_t id) {
  std::lock_guard lock(mutex_);
  const auto known = std::find_if(gamepads_.begin(), gamepads_.end(),
                                  [&](const GamepadState& g) { return g.info.id == id; });
  if (known == gamepads_.end()) return;
  GamepadInfo info = known->info;
  gamepads_.erase(known);
  post({GamepadEvent::Kind::disconnected, std::move(info)});
}

void Gamepads::updateGamepad(const GamepadState& state) {
  std::lock_guard lock(mutex_);
  for (auto& gamepad : gamepads_) {
    if (gamepad.info.id == state.info.id) {
      gamepad = state;
      return;
    }
  }
}

void Gamepads::post(GamepadEvent event) {
  std::uint64_t generation = 0;
  {
    std::lock_guard sub(subscription_->mutex);
    if (!subscription_->handler) return;
    generation = subscription_->generation;
  }
  queue_->async([subscription = subscription_, generation, event = std::move(event)] {
    GamepadEventHandler handler;
    {
      std::lock_guard sub(subscription->mutex);
      if (subscription->generation != generation) return;
      handler = subscription->handler;
    }
    handler(event);  // outside the lock: the handler may subscribe anew
  });
}

}  // namespace kestrom::gamepads

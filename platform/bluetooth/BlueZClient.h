#pragma once
// What the Bluetooth layers over BlueZ have in common: a bus connection of their own served by a
// BusLoop thread, the service's object tree on it, the observer they report to and the adapter's
// state as last reported. A layer's implementation derives from this and handles the tree's events.
//
// Threads: the loop thread, except the observer slot, adapterState() and post(). The derived
// class's destructor must stop the loop before its own members go: handlers use them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/bluetooth/BlueZObjects.h"
#include "platform/bluetooth/BusLoop.h"
#include "platform/bluetooth/ObserverSlot.h"
#include "platform/bluetooth/SystemBus.h"

namespace kestrom::bluetooth::bluez {

/// The error of an operation that needs the adapter on.
inline BluetoothError adapterUnavailable(AdapterState state) {
  return {BluetoothError::Kind::adapterUnavailable, std::string("the adapter is ") + adapterStateName(state)};
}

template <class Observer>
class BlueZClient : public BlueZObjects::Listener {
 public:
  // Any thread.
  ObserverSlot<Observer> observer_;
  AdapterState adapterState() const { return adapterState_; }
  /// Sets the observer; it hears the adapter's state even when that was read before it came.
  void setObserver(std::weak_ptr<Observer> observer) {
    observer_.set(std::move(observer));
    loop_.post([this] {
      if (adapterReported_ && adapterHeardBy_ != observer_.number()) {
        const AdapterState state = adapterState_;
        adapterHeardBy_ = report([&](Observer& o) { o.adapterStateChanged(state); });
      }
    });
  }
  void post(std::function<void()> task) { loop_.post(std::move(task)); }

 protected:
  /// Connects to the system bus; the loop starts with start().
  BlueZClient(std::string name, const log::Logger& log)
      : loop_(name, openSystemBus(log), log), objects_(loop_, *this), name_(std::move(name)) {}

  /// Runs `first` on the loop thread, then reads the tree.
  void start(std::function<void()> first = {}) {
    loop_.post([this, first = std::move(first)] {
      if (first) {
        first();
      }
      objects_.start();
    });
    loop_.start();
  }

  /// Returns the number of the observer that heard it (0: none did).
  template <class F>
  std::uint64_t report(F&& f) {
    return observer_.notify(std::forward<F>(f));
  }

  /// Reads the adapter's state from the tree; when it is news (the first reading or a change),
  /// logs and reports it and returns it.
  std::optional<AdapterState> updateAdapterState() {
    AdapterState state = objects_.adapterState();
    if (adapterReported_ && state == adapterState_.load()) {
      return std::nullopt;
    }
    adapterReported_ = true;
    adapterState_ = state;
    loop_.log().info("%s: adapter %s", name_, adapterStateName(state));
    adapterHeardBy_ = report([&](Observer& o) { o.adapterStateChanged(state); });
    return state;
  }

  BusLoop loop_;
  BlueZObjects objects_;
  std::atomic<AdapterState> adapterState_{AdapterState::missing};

 private:
  const std::string name_;
  bool adapterReported_ = false;
  std::uint64_t adapterHeardBy_ = 0;  // the observer that heard the adapter's state last
};

}  // namespace kestrom::bluetooth::bluez

#pragma once
// Records what a Bluetooth layer reports, for tests to wait on.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "platform/bluetooth/BleCentral.h"
#include "platform/bluetooth/ClassicBluetooth.h"

namespace kestrom::testing {

using namespace bluetooth;

struct Event {
  std::string kind;
  std::string id;  // peripheral id or device address
  std::string characteristic;
  std::optional<BluetoothError> error;
  Bytes value;
  AdapterState state = AdapterState::missing;
  BlePeripheral peripheral;
  ClassicDevice device;
};

class Recorder final : public BleCentralObserver, public ClassicBluetoothObserver {
 public:
  using Match = std::function<bool(const Event&)>;

  /// The first event (from the start) that matches, waiting up to `timeout` for it.
  std::optional<Event> waitFor(const Match& match, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    std::optional<Event> found;
    cv_.wait_for(lock, timeout, [&] {
      for (const auto& e : events_) {
        if (match(e)) {
          found = e;
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::optional<Event> waitFor(const std::string& kind, const std::string& id = {}) {
    return waitFor([&](const Event& e) { return e.kind == kind && (id.empty() || e.id == id); });
  }
  /// Waits until `count` events of `kind` were recorded.
  bool waitForCount(const std::string& kind, std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
      return static_cast<std::size_t>(std::count_if(events_.begin(), events_.end(), [&](const Event& e) {
               return e.kind == kind;
             })) >= count;
    });
  }
  std::vector<Event> events(const std::string& kind = {}) const {
    std::lock_guard lock(mutex_);
    std::vector<Event> result;
    for (const auto& e : events_) {
      if (kind.empty() || e.kind == kind) {
        result.push_back(e);
      }
    }
    return result;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  OwnedFd takeSocket(const std::string& address) {
    std::lock_guard lock(mutex_);
    auto it = sockets_.find(address);
    if (it == sockets_.end()) {
      return OwnedFd();
    }
    OwnedFd fd = std::move(it->second);
    sockets_.erase(it);
    return fd;
  }

  // Both observers
  void adapterStateChanged(AdapterState state) override { add({.kind = "adapter", .state = state}); }
  void connectFailed(const std::string& id, const BluetoothError& error) override {
    add({.kind = "connectFailed", .id = id, .error = error});
  }
  void disconnected(const std::string& id) override { add({.kind = "disconnected", .id = id}); }

  // BleCentralObserver
  void peripheralFound(const BlePeripheral& p) override { add({.kind = "found", .id = p.id, .peripheral = p}); }
  void scanStopped(const BluetoothError& error) override { add({.kind = "scanStopped", .error = error}); }
  void peripheralVanished(const std::string& id) override { add({.kind = "vanished", .id = id}); }
  void connected(const std::string& id) override { add({.kind = "connected", .id = id}); }
  void characteristicFound(const std::string& id, const std::string& c, const std::optional<BluetoothError>& error) override {
    add({.kind = "characteristic", .id = id, .characteristic = c, .error = error});
  }
  void subscribed(const std::string& id, const std::string& c, const std::optional<BluetoothError>& error) override {
    add({.kind = "subscribed", .id = id, .characteristic = c, .error = error});
  }
  void valueChanged(const std::string& id, const std::string& c, const Bytes& value) override {
    add({.kind = "value", .id = id, .characteristic = c, .value = value});
  }
  void writeCompleted(const std::string& id, const std::string& c, const std::optional<BluetoothError>& error) override {
    add({.kind = "written", .id = id, .characteristic = c, .error = error});
  }

  // ClassicBluetoothObserver
  void deviceFound(const ClassicDevice& device) override {
    add({.kind = "found", .id = device.address, .device = device});
  }
  void discoveryStopped(const BluetoothError& error) override { add({.kind = "scanStopped", .error = error}); }
  void connected(const std::string& address, OwnedFd socket) override {
    {
      std::lock_guard lock(mutex_);
      sockets_[address] = std::move(socket);
    }
    add({.kind = "connected", .id = address});
  }

 private:
  void add(Event event) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
    }
    cv_.notify_all();
  }

  mutable std::mutex mutex_;  // guards events_ and sockets_
  std::condition_variable cv_;
  std::vector<Event> events_;
  std::map<std::string, OwnedFd> sockets_;
};

/// Polls `condition` until it holds or `timeout` runs out.
inline bool eventually(const std::function<bool()>& condition, std::chrono::seconds timeout = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

/// Makes `recorder` the observer of `layer` (a central or the classic layer) and waits for the
/// layer's first report of the adapter; its state, or nothing when none came.
template <class Layer>
std::optional<AdapterState> firstAdapterState(Layer& layer, const std::shared_ptr<Recorder>& recorder) {
  layer.setObserver(recorder);
  auto first = recorder->waitFor("adapter");
  if (!first) {
    return std::nullopt;
  }
  return first->state;
}

/// A layer whose connection attempts time out after `connectTimeout`, once `recorder`, its
/// observer, has heard the adapter; null when it never reported one.
template <class Layer>
std::unique_ptr<Layer> startLayer(std::chrono::milliseconds connectTimeout, const std::shared_ptr<Recorder>& recorder) {
  typename Layer::Options options;
  options.connectTimeout = connectTimeout;
  auto layer = std::make_unique<Layer>(options);
  if (!firstAdapterState(*layer, recorder)) {
    return nullptr;
  }
  return layer;
}

}  // namespace kestrom::testing

#pragma once
// Records what a hub transport reports to the hub service, for tests to wait on.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/hubs/DeviceManager.h"

namespace kestrom::testing {

struct Report {
  std::string kind;  // "found", "scanningStopped", "connected", "connectFailed", "disconnected",
                     // "data", "sendCompleted", "bluetoothUnavailable"
  std::string id;
  std::string bytes;
  IDeviceFound device;
  HubConnectionType type = HubConnectionType::bluetoothLowenergy;
};

class ReportRecorder final : public DeviceManagerDelegate {
 public:
  using Match = std::function<bool(const Report&)>;

  /// The first report from the start that matches, waiting up to `timeout` for it.
  std::optional<Report> waitFor(const Match& match, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    std::optional<Report> found;
    cv_.wait_for(lock, timeout, [&] {
      for (const auto& r : reports_)
        if (match(r)) {
          found = r;
          return true;
        }
      return false;
    });
    return found;
  }
  std::optional<Report> waitFor(const std::string& kind, const std::string& id = {}) {
    return waitFor([&](const Report& r) { return r.kind == kind && (id.empty() || r.id == id); });
  }
  /// Waits until `count` reports of `kind` were made.
  bool waitForCount(const std::string& kind, std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return countLocked(kind) >= count; });
  }
  std::size_t count(const std::string& kind) const {
    std::lock_guard lock(mutex_);
    return countLocked(kind);
  }
  std::vector<std::string> kinds() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : reports_) out.push_back(r.kind);
    return out;
  }
  /// Every byte received from `id`, in order.
  std::string received(const std::string& id) const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const auto& r : reports_)
      if (r.kind == "data" && r.id == id) out += r.bytes;
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    reports_.clear();
  }
  /// Runs the retry action of the latest "Bluetooth unavailable" report.
  void retry() {
    std::function<void()> action;
    {
      std::lock_guard lock(mutex_);
      action = retry_;
    }
    if (action) action();
  }

  void deviceFound(IDeviceFound device) override { add({.kind = "found", .id = device.id, .device = device}); }
  void scanningStopped(HubConnectionType type) override { add({.kind = "scanningStopped", .type = type}); }
  void connectResult(std::shared_ptr<DeviceManager>, std::string id, bool success) override {
    add({.kind = success ? "connected" : "connectFailed", .id = id});
  }
  void disconnected(std::string id) override { add({.kind = "disconnected", .id = id}); }
  void dataReceived(std::string id, std::string bytes) override { add({.kind = "data", .id = id, .bytes = bytes}); }
  void sendCompleted(std::string id) override { add({.kind = "sendCompleted", .id = id}); }
  void bluetoothUnavailable(std::function<void()> retry) override {
    {
      std::lock_guard lock(mutex_);
      retry_ = std::move(retry);
    }
    add({.kind = "bluetoothUnavailable"});
  }

 private:
  std::size_t countLocked(const std::string& kind) const {
    std::size_t n = 0;
    for (const auto& r : reports_) n += r.kind == kind;
    return n;
  }
  void add(Report report) {
    {
      std::lock_guard lock(mutex_);
      reports_.push_back(std::move(report));
    }
    cv_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Report> reports_;
  std::function<void()> retry_;
};

}  // namespace kestrom::testing

#pragma once
// A hub transport that records what it is asked and reports only what the test tells it to,
// through the delegation queue like a real transport. Any thread.

#include <mutex>
#include <string>
#include <vector>

#include "KestromKit/hubs/DeviceManager.h"
#include "KestromKit/hubs/DeviceManagerReporter.h"

namespace kestrom::test {

class FakeDeviceManager final : public DeviceManager, public std::enable_shared_from_this<FakeDeviceManager> {
 public:
  FakeDeviceManager(std::shared_ptr<dispatch::Queue> delegationQueue, HubConnectionType type);

  /// Every call so far, as text: "startScan", "startScan A,B", "stopScan", "connect ID",
  /// "disconnect ID", "send ID <base64 of the bytes>", "isConnected ID".
  std::vector<std::string> calls() const;
  void clearCalls();
  /// What `isConnected` answers for every hub (true until set).
  void setConnected(bool connected);

  void reportFound(const std::string& id, const std::string& name = "Hub");
  void reportConnectResult(const std::string& id, bool success);
  void reportDisconnected(const std::string& id) { reporter_.disconnected(id); }
  void reportData(const std::string& id, const std::string& bytes) { reporter_.dataReceived(id, bytes); }
  void reportSendCompleted(const std::string& id) { reporter_.sendCompleted(id); }
  void reportScanningStopped() { reporter_.scanningStopped(type_); }

  // DeviceManager
  void startScan(std::optional<std::vector<std::string>> bleServices) override;
  void setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate) override { reporter_.setDelegate(std::move(delegate)); }
  void stopScan() override { record("stopScan"); }
  void connect(const std::string& id) override { record("connect " + id); }
  void disconnect(const std::string& id) override { record("disconnect " + id); }
  void send(std::string bytes, const std::string& id) override;
  bool isConnected(const std::string& id) override;

 private:
  void record(std::string call);

  const HubConnectionType type_;
  DeviceManagerReporter reporter_;
  mutable std::mutex mutex_;  // guards calls_, connected_
  std::vector<std::string> calls_;
  bool connected_ = true;
};

}  // namespace kestrom::test

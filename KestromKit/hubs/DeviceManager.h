#pragma once
// What every hub transport offers the hub service, and what it reports back. Reports always
// travel through the factory's "HubService Delegation" queue, never from inside an operation.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/model/IDeviceFound.h"
#include "platform/dispatch/Queue.h"
#include "platform/log/Log.h"

namespace kestrom {

class DeviceManager;

class DeviceManagerDelegate {
 public:
  virtual ~DeviceManagerDelegate() = default;
  virtual void deviceFound(IDeviceFound device) = 0;
  virtual void scanningStopped(HubConnectionType type) = 0;
  virtual void connectResult(std::shared_ptr<DeviceManager> manager, std::string id, bool success) = 0;
  virtual void disconnected(std::string id) = 0;
  virtual void dataReceived(std::string id, std::string bytes) = 0;
  virtual void sendCompleted(std::string id) = 0;
  virtual void bluetoothUnavailable(std::function<void()> retry) = 0;
};

/// A hub transport. Operations are called from the main queue and return at once; outcomes
/// arrive later as delegate reports on the delegation queue.
class DeviceManager {
 public:
  virtual ~DeviceManager() = default;
  virtual void startScan(std::optional<std::vector<std::string>> bleServices) = 0;
  virtual void setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate) = 0;
  virtual void stopScan() = 0;
  virtual void connect(const std::string& id) = 0;
  virtual void disconnect(const std::string& id) = 0;
  virtual void send(std::string bytes, const std::string& id) = 0;
  virtual bool isConnected(const std::string& id) = 0;
};

/// Carries the shared delegation queue and the "Bluetooth" log to the hub service and its
/// transports.
struct HubServiceFactory {
  std::shared_ptr<dispatch::Queue> delegationQueue = dispatch::makeSerialQueue("HubService Delegation");
};

}  // namespace kestrom

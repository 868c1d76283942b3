#pragma once
// How a transport reports: it holds the delegate weakly and hands every report to the delegation
// queue as a task; when the task runs it loads the delegate and, if it is still there, calls its
// handler there. So reports are handled one at a time, in the order they were made, never on the
// transport's own queue and never from inside one of its operations.
//
// Any thread. One per transport, owned by it.

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "KestromKit/hubs/DeviceManager.h"

namespace kestrom {

class DeviceManagerReporter {
 public:
  explicit DeviceManagerReporter(std::shared_ptr<dispatch::Queue> delegationQueue);

  void setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate);

  void deviceFound(IDeviceFound device);
  void scanningStopped(HubConnectionType type);
  void connectResult(std::shared_ptr<DeviceManager> manager, std::string id, bool success);
  void disconnected(std::string id);
  void dataReceived(std::string id, std::string bytes);
  void sendCompleted(std::string id);
  void bluetoothUnavailable(std::function<void()> retry);

 private:
  void report(std::function<void(DeviceManagerDelegate&)> handler);

  const std::shared_ptr<dispatch::Queue> delegationQueue_;
  // Shared with the queued tasks, so a report still queued when the reporter goes keeps working.
  struct Slot {
    std::mutex mutex;  // guards delegate
    std::weak_ptr<DeviceManagerDelegate> delegate;
  };
  const std::shared_ptr<Slot> slot_ = std::make_shared<Slot>();
};

}  // namespace kestrom

#include "KestromKit/hubs/DeviceManagerReporter.h"

#include <utility>

namespace kestrom {

DeviceManagerReporter::DeviceManagerReporter(std::shared_ptr<dispatch::Queue> delegationQueue)
    : delegationQueue_(std::move(delegationQueue)) {}

void DeviceManagerReporter::setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate) {
  std::lock_guard lock(slot_->mutex);
  slot_->delegate = std::move(delegate);
}

void DeviceManagerReporter::report(std::function<void(DeviceManagerDelegate&)> handler) {
  delegationQueue_->async([slot = slot_, handler = std::move(handler)] {
    std::shared_ptr<DeviceManagerDelegate> delegate;
    {
      std::lock_guard lock(slot->mutex);
      delegate = slot->delegate.lock();
    }
    if (delegate) handler(*delegate);
  });
}

void DeviceManagerReporter::deviceFound(IDeviceFound device) {
  report([device = std::move(device)](DeviceManagerDelegate& d) mutable { d.deviceFound(std::move(device)); });
}

void DeviceManagerReporter::scanningStopped(HubConnectionType type) {
  report([type](DeviceManagerDelegate& d) { d.scanningStopped(type); });
}

void DeviceManagerReporter::connectResult(std::shared_ptr<DeviceManager> manager, std::string id, bool success) {
  report([manager = std::move(manager), id = std::move(id), success](DeviceManagerDelegate& d) mutable {
    d.connectResult(std::move(manager), std::move(id), success);
  });
}

void DeviceManagerReporter::disconnected(std::string id) {
  report([id = std::move(id)](DeviceManagerDelegate& d) mutable { d.disconnected(std::move(id)); });
}

void DeviceManagerReporter::dataReceived(std::string id, std::string bytes) {
  report([id = std::move(id), bytes = std::move(bytes)](DeviceManagerDelegate& d) mutable {
    d.dataReceived(std::move(id), std::move(bytes));
  });
}

void DeviceManagerReporter::sendCompleted(std::string id) {
  report([id = std::move(id)](DeviceManagerDelegate& d) mutable { d.sendCompleted(std::move(id)); });
}

void DeviceManagerReporter::bluetoothUnavailable(std::function<void()> retry) {
  report([retry = std::move(retry)](DeviceManagerDelegate& d) mutable { d.bluetoothUnavailable(std::move(retry)); });
}

}  // namespace kestrom

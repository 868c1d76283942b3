#include "tests/support/FakeDeviceManager.h"

#include "KestromKit/base/Base64.h"

namespace kestrom::test {

FakeDeviceManager::FakeDeviceManager(std::shared_ptr<dispatch::Queue> delegationQueue, HubConnectionType type)
    : type_(type), reporter_(std::move(delegationQueue)) {}

std::vector<std::string> FakeDeviceManager::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void FakeDeviceManager::clearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void FakeDeviceManager::setConnected(bool connected) {
  std::lock_guard lock(mutex_);
  connected_ = connected;
}

void FakeDeviceManager::reportFound(const std::string& id, const std::string& name) {
  IDeviceFound device;
  device.id = id;
  device.name = name;
  device.type = type_;
  if (type_ == HubConnectionType::usb) device.serial = IDeviceFound::Serial{.productID = 2, .vendorID = 1684};
  if (type_ == HubConnectionType::bluetoothLowenergy) device.ble = IDeviceFound::Ble{};
  reporter_.deviceFound(std::move(device));
}

void FakeDeviceManager::reportConnectResult(const std::string& id, bool success) {
  reporter_.connectResult(shared_from_this(), id, success);
}

void FakeDeviceManager::startScan(std::optional<std::vector<std::string>> bleServices) {
  std::string call = "startScan";
  if (bleServices) {
    call += ' ';
    for (std::size_t i = 0; i < bleServices->size(); ++i) call += (i ? "," : "") + (*bleServices)[i];
  }
  record(std::move(call));
}

void FakeDeviceManager::send(std::string bytes, const std::string& id) { record("send " + id + " " + base64Encode(bytes)); }

bool FakeDeviceManager::isConnected(const std::string& id) {
  record("isConnected " + id);
  std::lock_guard lock(mutex_);
  return connected_;
}

void FakeDeviceManager::record(std::string call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

}  // namespace kestrom::test

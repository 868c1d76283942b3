#include "KestromKit/hubs/HubService.h"

#include "KestromKit/base/Base64.h"
#include "KestromKit/base/Constants.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace {

using NotificationCase = RPC::Notification::Case;
using ResponseCase = RPC::Response::Case;

RPCMessage disconnectedNotification(const std::string& id) {
  return RPC::Notification::make<NotificationCase::hubDisconnected>(RPCNotifyHubDisconnectedParams{id});
}

template <class T>
std::vector<T> take(std::map<std::string, std::vector<T>>& lists, const std::string& id) {
  auto node = lists.extract(id);
  return node ? std::move(node.mapped()) : std::vector<T>{};
}

}  // namespace

HubService::HubService(std::shared_ptr<RPCInterface> interface, bool verbose, HubServiceFactory factory,
                       std::map<HubConnectionType, std::shared_ptr<DeviceManager>> managers,
                       std::weak_ptr<HubServiceDelegate> delegate)
    : interface_(std::move(interface)),
      verbose_(verbose),
      factory_(std::move(factory)),
      managers_(std::move(managers)),
      delegate_(std::move(delegate)) {}

void HubService::attach() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  for (auto& [type, manager] : managers_) manager->setDelegate(weak_from_this());
}

std::shared_ptr<DeviceManager> HubService::managerFor(HubConnectionType type) const {
  auto it = managers_.find(type);
  return it == managers_.end() ? nullptr : it->second;
}

void HubService::sendAll(std::vector<RPCMessage> messages) {
  for (auto& message : messages) interface_->send(std::move(message));
}

void HubService::startScan(const std::string& requestID, const RPCRequestHubStartScanParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (auto manager = managerFor(params.type))
    manager->startScan(params.type == HubConnectionType::bluetoothLowenergy ? params.bleServices : std::nullopt);
  interface_->send(RPC::Response::make<ResponseCase::hubStartScan>(requestID));
}

void HubService::stopScan(const std::string& requestID, const RPCRequestHubStopScanParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (auto manager = managerFor(params.type)) manager->stopScan();
  interface_->send(RPC::Response::make<ResponseCase::hubStopScan>(requestID));
}

void HubService::connect(const std::string& requestID, const RPCRequestHubConnectParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  std::shared_ptr<DeviceManager> manager;
  {
    std::lock_guard lock(mutex_);
    auto found = found_.find(params.id);
    if (found != found_.end()) manager = managerFor(found->second.type);
    if (manager) {
      auto& parked = parked_[params.id];
      parked.connect.emplace_back(RPC::Response::make<ResponseCase::hubConnect>(requestID));
      parked.connectFailed.emplace_back(RPC::Response::error(requestID, "Unable to connect"));
    }
  }
  // A hub no scan reported cannot be connected; say so rather than leave the page waiting.
  if (!manager) {
    interface_->send(RPC::Response::error(requestID, "Unable to connect"));
    return;
  }
  manager->connect(params.id);
}

void HubService::disconnect(const std::string& requestID, const RPCRequestHubDisconnectParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  std::shared_ptr<DeviceManager> manager;
  bool known = false;
  {
    std::lock_guard lock(mutex_);
    known = devices_.count(params.id) > 0;
    if (known) {
      if (auto it = connectedManagers_.find(params.id); it != connectedManagers_.end()) manager = it->second;
      parked_[params.id].disconnect.emplace_back(RPC::Response::make<ResponseCase::hubDisconnect>(requestID));
    }
  }
  if (!known) {
    interface_->send(disconnectedNotification(params.id));
    interface_->send(RPC::Response::error(requestID, "no such connection"));
    return;
  }
  if (manager) manager->disconnect(params.id);
}

void HubService::send(const std::string& requestID, const RPCRequestHubSendParams& params, RPCInterface& interface) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto bytes = base64Decode(params.message);
  if (!bytes) {
    interface.send(RPC::Response::error(requestID, "unable to decode message"));
    return;
  }
  std::shared_ptr<DeviceManager> manager;
  {
    std::lock_guard lock(mutex_);
    auto it = connectedManagers_.find(params.id);
    if (devices_.count(params.id) && it != connectedManagers_.end()) {
      manager = it->second;
      parked_[params.id].send.push_back(RPC::Response::make<ResponseCase::hubSend>(requestID));
    }
  }
  if (!manager) {
    interface.send(disconnectedNotification(params.id));
    interface.send(RPC::Response::error(requestID, "no such connection"));
    return;
  }
  if (verbose_) Constants::log().bluetooth.debug("HUB IN: %s", params.message);
  manager->send(std::move(*bytes), params.id);
}

void HubService::validateConnections(const std::string& requestID, RPCInterface& interface) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  std::vector<std::pair<std::string, std::shared_ptr<DeviceManager>>> connected;
  {
    std::lock_guard lock(mutex_);
    connected.assign(connectedManagers_.begin(), connectedManagers_.end());
  }
  for (auto& [id, manager] : connected)
    if (!manager->isConnected(id)) manager->disconnect(id);
  interface.send(RPC::Response::make<ResponseCase::hubConnectionsValidate>(requestID));
}

std::vector<IDeviceFound> HubService::connectedDevices() const {
  std::lock_guard lock(mutex_);
  std::vector<IDeviceFound> list;
  for (const auto& [id, device] : devices_) list.push_back(device);
  return list;
}

// DeviceManagerDelegate

void HubService::deviceFound(IDeviceFound device) {
  {
    std::lock_guard lock(mutex_);
    found_.insert_or_assign(device.id, device);
  }
  interface_->send(RPC::Notification::make<NotificationCase::hubDeviceFound>(RPCNotifyHubDeviceFoundParams{device}));
}

void HubService::scanningStopped(HubConnectionType type) {
  interface_->send(RPC::Notification::make<NotificationCase::hubScanningStopped>(RPCNotifyHubScanningStoppedParams{type}));
}

void HubService::connectResult(std::shared_ptr<DeviceManager> manager, std::string id, bool success) {
  std::vector<RPCMessage> messages;
  {
    std::lock_guard lock(mutex_);
    auto& parked = parked_[id];
    if (success) {
      if (auto found = found_.find(id); found != found_.end()) devices_.insert_or_assign(id, found->second);
      connectedManagers_.insert_or_assign(id, std::move(manager));
      messages = std::exchange(parked.connect, {});
      parked.connectFailed.clear();
      messages.emplace_back(RPC::Notification::make<NotificationCase::hubConnected>(RPCNotifyHubConnectedParams{id}));
    } else {
      messages = std::exchange(parked.connectFailed, {});
      parked.connect.clear();
    }
  }
  sendAll(std::move(messages));
}

void HubService::disconnected(std::string id) {
  std::vector<RPCMessage> messages;
  {
    std::lock_guard lock(mutex_);
    devices_.erase(id);
    connectedManagers_.erase(id);
    if (auto node = parked_.extract(id)) messages = std::move(node.mapped().disconnect);
  }
  messages.push_back(disconnectedNotification(id));
  sendAll(std::move(messages));
}

void HubService::dataReceived(std::string id, std::string bytes) {
  auto message = base64Encode(bytes);
  if (verbose_) Constants::log().bluetooth.debug("HUB OUT: %s", message);
  interface_->send(RPC::Notification::make<NotificationCase::hubDidReceiveMessage>(
      RPCNotifyHubDidReceiveMessageParams{id, std::move(message)}));
}

void HubService::sendCompleted(std::string id) {
  std::vector<RPC::Response> replies;
  {
    std::lock_guard lock(mutex_);
    if (auto it = parked_.find(id); it != parked_.end()) replies = std::exchange(it->second.send, {});
  }
  for (auto& reply : replies) interface_->send(std::move(reply));
}

void HubService::bluetoothUnavailable(std::function<void()> retry) {
  dispatch::mainQueue()->async([delegate = delegate_, retry = std::move(retry)]() mutable {
    if (auto strong = delegate.lock()) strong->showAlert(KestromAlert::bluetoothNeeded, std::move(retry));
  });
}

}  // namespace kestrom

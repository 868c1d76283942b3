#include "KestromKit/hubs/HubService.h"

#include <algorithm>

#include "KestromKit/base/Base64.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/hubs/HexText.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace {

using NotificationCase = RPC::Notification::Case;
using ResponseCase = RPC::Response::Case;

constexpr const char* kTag = "HUB";
constexpr const char* kVerboseFormat = "%s %s:\n -\t%s\n 64\t%s\n b\t%s\n -";

RPCMessage disconnectedNotification(const std::string& id) {
  return RPC::Notification::make<NotificationCase::hubDisconnected>(RPCNotifyHubDisconnectedParams{id});
}

std::vector<RPCMessage> take(std::map<std::string, std::vector<RPCMessage>>& lists, const std::string& id) {
  auto node = lists.extract(id);
  return node ? std::move(node.mapped()) : std::vector<RPCMessage>{};
}

void append(std::vector<RPCMessage>& to, std::vector<RPCMessage> from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

}  // namespace

HubService::HubService(std::shared_ptr<RPCInterface> interface, bool verbose, HubServiceFactory factory,
                       HubTransports transports, std::weak_ptr<HubServiceDelegate> delegate)
    : interface_(std::move(interface)),
      verbose_(verbose),
      factory_(std::move(factory)),
      transports_(std::move(transports)),
      delegate_(std::move(delegate)) {}

void HubService::attach() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  for (const auto& manager : {transports_.bluetoothClassic, transports_.usb, transports_.bluetoothLowEnergy})
    if (manager) manager->setDelegate(weak_from_this());
}

std::shared_ptr<DeviceManager> HubService::managerFor(HubConnectionType type) const {
  switch (type) {
    case HubConnectionType::bluetoothClassic: return transports_.bluetoothClassic;
    case HubConnectionType::bluetoothLowenergy: return transports_.bluetoothLowEnergy;
    case HubConnectionType::usb: return transports_.usb;
    default: return nullptr;  // "usb-hid" and "virtual" have no transport
  }
}

void HubService::sendMessages(std::vector<RPCMessage> messages) {
  for (auto& message : messages) {
    if (const RPC::Response* response = message.response())
      interface_->send(*response);
    else
      interface_->send(std::move(message));
  }
}

void HubService::logTraffic(const char* direction, const std::string& bytes) const {
  const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  factory_.log.debug(kVerboseFormat, kTag, direction, ascii ? bytes : std::string("<not human readable>"),
                     base64Encode(bytes), hexText(bytes));
}

void HubService::startScan(const std::string& requestID, const RPCRequestHubStartScanParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (auto manager = managerFor(params.type))
    manager->startScan(params.type == HubConnectionType::bluetoothLowenergy ? params.bleServices : std::nullopt);
  interface_->send(RPC::Response::make<ResponseCase::hubStartScan>(requestID));
}

void HubService::stopScan(const std::string& requestID, const RPCRequestHubStopScanParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  // Reply, queue the notification, then ask the transport: its report can only come after both,
  // and it is counted as owed, so it sends no notification of its own for this stop.
  interface_->send(RPC::Response::make<ResponseCase::hubStopScan>(requestID));
  auto manager = managerFor(params.type);
  {
    std::lock_guard lock(mutex_);
    stopScanningResponses_.emplace_back(
        RPC::Notification::make<NotificationCase::hubScanningStopped>(RPCNotifyHubScanningStoppedParams{params.type}));
    if (manager) ++owedStopReports_[params.type];
  }
  if (manager) manager->stopScan();
}

void HubService::connect(const std::string& requestID, const RPCRequestHubConnectParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  std::shared_ptr<DeviceManager> manager;
  {
    std::lock_guard lock(mutex_);
    if (auto found = scanCache_.find(params.id); found != scanCache_.end()) manager = managerFor(found->second.type);
    if (manager) {
      connectResponses_[params.id].emplace_back(RPC::Response::make<ResponseCase::hubConnect>(requestID));
      connectFailedResponses_[params.id].emplace_back(RPC::Response::error(requestID, "Unable to connect"));
    }
  }
  // A hub no transport reported (or one of a type without a transport) cannot be connected: say
  // so rather than leave the page waiting for a reply that never comes.
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
      disconnectResponses_[params.id].emplace_back(RPC::Response::make<ResponseCase::hubDisconnect>(requestID));
      if (auto it = connectedManagers_.find(params.id); it != connectedManagers_.end()) manager = it->second;
    }
  }
  if (!known) {
    interface_->send(disconnectedNotification(params.id));
    interface_->send(RPC::Response::error(requestID, "no such connection"));
    return;
  }
  if (manager) manager->disconnect(params.id);
}

void HubService::send(const std::string& requestID, const RPCRequestHubSendParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto bytes = base64Decode(params.message);
  if (!bytes) {
    interface_->send(RPC::Response::error(requestID, "unable to decode message"));
    return;
  }
  std::shared_ptr<DeviceManager> manager;
  std::string id;
  {
    std::lock_guard lock(mutex_);
    auto device = devices_.find(params.id);
    auto connected = connectedManagers_.find(params.id);
    if (device != devices_.end() && connected != connectedManagers_.end()) {
      manager = connected->second;
      id = device->second.id;
      sendResponses_[id].emplace_back(RPC::Response::make<ResponseCase::hubSend>(requestID));
    }
  }
  if (!manager) {
    interface_->send(disconnectedNotification(params.id));
    interface_->send(RPC::Response::error(requestID, "no such connection"));
    return;
  }
  if (verbose_) logTraffic("IN", *bytes);
  manager->send(std::move(*bytes), id);
}

void HubService::validateConnections(const std::string& requestID) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  std::vector<std::pair<std::string, std::shared_ptr<DeviceManager>>> connected;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [key, device] : devices_)
      if (auto it = connectedManagers_.find(device.id); it != connectedManagers_.end())
        connected.emplace_back(device.id, it->second);
  }
  for (auto& [id, manager] : connected)
    if (!manager->isConnected(id)) manager->disconnect(id);
  interface_->send(RPC::Response::make<ResponseCase::hubConnectionsValidate>(requestID));
}

void HubService::getConnections(const std::string& requestID) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  RPCResponseHubGetConnectionsParams connections{connectedDevices()};
  interface_->send(RPC::Response::make<ResponseCase::hubGetConnections>(requestID, std::move(connections)));
}

std::vector<IDeviceFound> HubService::connectedDevices() const {
  std::lock_guard lock(mutex_);
  std::vector<IDeviceFound> list;
  for (const auto& [id, device] : devices_) list.push_back(device);
  return list;
}

// DeviceManagerDelegate

void HubService::deviceFound(IDeviceFound device) {
  KESTROM_ASSERT_ON_QUEUE(factory_.delegationQueue);
  {
    std::lock_guard lock(mutex_);
    // Found again, under whatever type: the newer record takes the place of the older one.
    scanCache_.insert_or_assign(device.id, device);
  }
  interface_->send(RPC::Notification::make<NotificationCase::hubDeviceFound>(RPCNotifyHubDeviceFoundParams{device}));
}

void HubService::scanningStopped(HubConnectionType type) {
  KESTROM_ASSERT_ON_QUEUE(factory_.delegationQueue);
  std::vector<RPCMessage> messages;
  {
    std::lock_guard lock(mutex_);
    messages = std::exchange(stopScanningResponses_, {});
    // The answer to a stop the page asked for: that stop's notification is in `messages` or went
    // out with an earlier report. Only a scan that ended by itself is told on its own.
    auto owed = owedStopReports_.find(type);
    const bool answersStop = owed != owedStopReports_.end() && owed->second > 0;
    if (answersStop) --owed->second;
    // A scan that ended by itself (the radio went away) drops the replies parked for connects and
    // disconnects. The answer to a stop the page asked for does not: it can arrive after a connect
    // the page sent right behind its stop, which would otherwise never be answered.
    if (!answersStop) {
      connectResponses_.clear();
      disconnectResponses_.clear();
    }
    if (messages.empty() && !answersStop)
      messages.emplace_back(
          RPC::Notification::make<NotificationCase::hubScanningStopped>(RPCNotifyHubScanningStoppedParams{type}));
  }
  sendMessages(std::move(messages));
}

void HubService::connectResult(std::shared_ptr<DeviceManager> manager, std::string id, bool success) {
  KESTROM_ASSERT_ON_QUEUE(factory_.delegationQueue);
  std::vector<RPCMessage> messages;
  {
    std::lock_guard lock(mutex_);
    if (success) {
      if (auto found = scanCache_.find(id); found != scanCache_.end())
        devices_.insert_or_assign(id, found->second);
      else
        devices_.erase(id);
      messages = take(connectResponses_, id);
      messages.emplace_back(RPC::Notification::make<NotificationCase::hubConnected>(RPCNotifyHubConnectedParams{id}));
      connectFailedResponses_.erase(id);
      connectedManagers_.insert_or_assign(id, std::move(manager));
      // No process activity is held for a connected hub: the desktop has none to take, and idle
      // sleep stays allowed either way.
    } else {
      messages = take(connectFailedResponses_, id);
      connectResponses_.erase(id);
    }
  }
  sendMessages(std::move(messages));
}

void HubService::disconnected(std::string id) {
  KESTROM_ASSERT_ON_QUEUE(factory_.delegationQueue);
  std::vector<RPCMessage> messages{disconnectedNotification(id)};
  {
    std::lock_guard lock(mutex_);
    connectResponses_.erase(id);
    connectedManagers_.erase(id);
    devices_.erase(id);
    append(messages, take(disconnectResponses_, id));
    // The transport drops what it had not written yet: the sends still waiting for it were not
    // delivered, so they fail instead of staying parked until a later connection's completion
    // would answer them {}.
    for (RPCMessage& parked : take(sendResponses_, id))
      if (const RPC::Response* reply = parked.response())
        messages.emplace_back(RPC::Response::error(reply->id(), "no such connection"));
  }
  sendMessages(std::move(messages));
}

void HubService::dataReceived(std::string id, std::string bytes) {
  KESTROM_ASSERT_ON_QUEUE(factory_.delegationQueue);
  if (verbose_) logTraffic("OUT", bytes);
  interface_->send(RPC::Notification::make<NotificationCase::hubDidReceiveMessage>(
      RPCNotifyHubDidReceiveMessageParams{std::move(id), base64Encode(bytes)}));
}

void HubService::sendCompleted(std::string id) {
  KESTROM_ASSERT_ON_QUEUE(factory_.delegationQueue);
  std::vector<RPCMessage> replies;
  {
    std::lock_guard lock(mutex_);
    replies = take(sendResponses_, id);
  }
  sendMessages(std::move(replies));
}

void HubService::bluetoothUnavailable(std::function<void()> retry) {
  KESTROM_ASSERT_ON_QUEUE(factory_.delegationQueue);
  dispatch::mainQueue()->async([delegate = delegate_, retry = std::move(retry)]() mutable {
    if (auto strong = delegate.lock()) strong->showAlert(KestromAlert::bluetoothNeeded, std::move(retry));
  });
}

}  // namespace kestrom

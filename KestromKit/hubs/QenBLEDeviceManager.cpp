#include "KestromKit/hubs/QenBLEDeviceManager.h"

#include <utility>

#include "KestromKit/base/Base64.h"
#include "KestromKit/hubs/HexText.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

using bluetooth::AdapterState;
using bluetooth::BluetoothError;
using bluetooth::Bytes;

namespace {

constexpr const char* kTag = "BLEDeviceManager";

}  // namespace

/// Receives the central's reports on its thread and only hops them onto the manager's queue,
/// tagged with the central they came from.
class QenBLEDeviceManager::CentralObserver final
    : public HoppingObserver<QenBLEDeviceManager, bluetooth::BleCentralObserver> {
 public:
  using HoppingObserver::HoppingObserver;

  void adapterStateChanged(AdapterState state) override {
    hop([state](QenBLEDeviceManager& m) { m.onAdapterState(state); });
  }
  void peripheralFound(const bluetooth::BlePeripheral& peripheral) override {
    hop([peripheral](QenBLEDeviceManager& m) { m.onPeripheralFound(peripheral); });
  }
  void scanStopped(const BluetoothError& error) override {
    hop([error](QenBLEDeviceManager& m) { m.onScanStopped(error); });
  }
  void peripheralVanished(const std::string& id) override {
    hop([id](QenBLEDeviceManager& m) { m.onPeripheralVanished(id); });
  }
  void connected(const std::string& id) override {
    hop([id](QenBLEDeviceManager& m) { m.onConnected(id); });
  }
  void connectFailed(const std::string& id, const BluetoothError& error) override {
    hop([id, error](QenBLEDeviceManager& m) { m.onConnectFailed(id, error); });
  }
  void disconnected(const std::string& id) override {
    hop([id](QenBLEDeviceManager& m) { m.onDisconnected(id); });
  }
  void characteristicFound(const std::string& id, const std::string&,
                           const std::optional<BluetoothError>& error) override {
    hop([id, error](QenBLEDeviceManager& m) { m.onCharacteristicFound(id, error); });
  }
  void subscribed(const std::string& id, const std::string&, const std::optional<BluetoothError>& error) override {
    hop([id, error](QenBLEDeviceManager& m) { m.onSubscribed(id, error); });
  }
  void valueChanged(const std::string& id, const std::string&, const Bytes& value) override {
    hop([id, value](QenBLEDeviceManager& m) { m.onValueChanged(id, value); });
  }
  void writeCompleted(const std::string& id, const std::string&, const std::optional<BluetoothError>& error) override {
    hop([id, error](QenBLEDeviceManager& m) { m.onWriteCompleted(id, error); });
  }
};

std::shared_ptr<QenBLEDeviceManager> QenBLEDeviceManager::create(std::shared_ptr<dispatch::Queue> delegationQueue,
                                                                 log::Logger log, CentralMaker makeCentral) {
  std::shared_ptr<QenBLEDeviceManager> manager(
      new QenBLEDeviceManager(std::move(delegationQueue), std::move(log), std::move(makeCentral)));
  manager->queue_->sync([&] { manager->recreateCentralManager(); });
  return manager;
}

QenBLEDeviceManager::QenBLEDeviceManager(std::shared_ptr<dispatch::Queue> delegationQueue, log::Logger log,
                                         CentralMaker makeCentral)
    : queue_(dispatch::makeSerialQueue("QenBLEDeviceManager")),
      log_(std::move(log)),
      reporter_(std::move(delegationQueue)),
      makeCentral_(std::move(makeCentral)) {}

QenBLEDeviceManager::~QenBLEDeviceManager() = default;

std::optional<IDeviceFound> QenBLEDeviceManager::deviceRecord(const bluetooth::BlePeripheral& peripheral) {
  // An advertisement carries one manufacturer's data; it is only of use with a payload.
  auto data = std::find_if(peripheral.manufacturerData.begin(), peripheral.manufacturerData.end(),
                           [](const auto& entry) { return !entry.second.empty(); });
  if (data == peripheral.manufacturerData.end()) return std::nullopt;
  IDeviceFound record;
  const std::string payload(data->second.begin(), data->second.end());
  record.ble = IDeviceFound::Ble{
      .manufacturerData = std::map<std::string, std::string>{{std::to_string(data->first), base64Encode(payload)}},
      .rssi = static_cast<double>(peripheral.rssi.value_or(0))};
  record.id = peripheral.id;
  record.name = peripheral.name.value_or("");
  record.type = HubConnectionType::bluetoothLowenergy;
  return record;
}

// DeviceManager: every operation hops onto the manager's queue.

void QenBLEDeviceManager::startScan(std::optional<std::vector<std::string>> bleServices) {
  queue_->async([weak = weak_from_this(), bleServices = std::move(bleServices)] {
    auto self = weak.lock();
    if (!self || !self->central_) return;
    if (bleServices) {
      self->qenServices_.clear();
      for (const auto& text : *bleServices)
        if (auto uuid = bluetooth::normalizeUuid(text)) self->qenServices_.push_back(*uuid);
    }
    self->canRequireBluetooth_ = true;
    self->isScanning_ = true;
    if (!self->adapterKnown_) {
      self->scanPending_ = true;  // a central just made has not read the adapter yet
      return;
    }
    self->central_->startScan(self->qenServices_);
  });
}

void QenBLEDeviceManager::setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate) {
  reporter_.setDelegate(std::move(delegate));
}

void QenBLEDeviceManager::stopScan() {
  queue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->doStopScan();
  });
}

void QenBLEDeviceManager::connect(const std::string& id) {
  queue_->async([weak = weak_from_this(), id] {
    if (auto self = weak.lock()) self->doConnect(id);
  });
}

void QenBLEDeviceManager::disconnect(const std::string& id) {
  queue_->async([weak = weak_from_this(), id] {
    if (auto self = weak.lock()) self->doDisconnect(id);
  });
}

void QenBLEDeviceManager::send(std::string bytes, const std::string& id) {
  queue_->async([weak = weak_from_this(), id, bytes = std::move(bytes)]() mutable {
    if (auto self = weak.lock()) self->doSend(id, std::move(bytes));
  });
}

bool QenBLEDeviceManager::isConnected(const std::string& id) {
  return queue_->syncValue([&] {
    auto it = devices_.find(id);
    return it != devices_.end() && it->second.link == Link::ready && central_ && central_->isConnected(id);
  });
}

// On the "QenBLEDeviceManager" queue.

void QenBLEDeviceManager::recreateCentralManager() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  // The old central (if any) stops its thread here; its reports still queued carry its
  // generation and are dropped.
  const std::uint64_t generation = ++generation_;
  central_.reset();
  observer_ = std::make_shared<CentralObserver>(weak_from_this(), queue_, generation);
  adapterKnown_ = false;
  central_ = makeCentral_();
  if (central_) central_->setObserver(observer_);
}

void QenBLEDeviceManager::onAdapterState(AdapterState state) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  adapterKnown_ = true;
  const bool scanPending = std::exchange(scanPending_, false);
  if (state == AdapterState::poweredOn) {
    log_.debug("%s Start scanning for peripherals", kTag);
    for (auto& [id, device] : devices_) device.state = BLEDeviceState::available;
    if (scanPending && isScanning_) central_->startScan(qenServices_);
    return;
  }
  log_.info("%s CBManager not in powered on state", kTag);
  // The central ends every connection itself; the hub service hears of each one here, first,
  // and the central's own report of it is dropped.
  for (auto& [id, device] : devices_) {
    if (device.state == BLEDeviceState::connected || device.link != Link::none) {
      if (device.link == Link::connecting || device.link == Link::discovering) {
        reporter_.connectResult(shared_from_this(), id, false);
      } else {
        reporter_.disconnected(id);
      }
      device.disconnectReported = true;
      device.disconnectAsked = false;
      resetLink(device);
    }
    device.state = BLEDeviceState::unavailable;
  }
  if (canRequireBluetooth_) {
    canRequireBluetooth_ = false;
    reporter_.bluetoothUnavailable([self = shared_from_this()] {
      self->queue_->async([self] { self->recreateCentralManager(); });
    });
  } else {
    doStopScan();
  }
}

void QenBLEDeviceManager::onScanStopped(const BluetoothError& error) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (error.kind == BluetoothError::Kind::adapterUnavailable) {
    // A scan asked for while Bluetooth is off or missing: the user is asked to turn it on, once.
    // When the adapter went away mid-scan its state report has said everything already.
    if (canRequireBluetooth_) {
      canRequireBluetooth_ = false;
      isScanning_ = false;
      reporter_.bluetoothUnavailable([self = shared_from_this()] {
        self->queue_->async([self] { self->recreateCentralManager(); });
      });
    }
    return;
  }
  log_.error("%s Scanning failed: %s", kTag, error.message);
  if (!isScanning_) return;
  isScanning_ = false;
  reporter_.scanningStopped(HubConnectionType::bluetoothLowenergy);
}

void QenBLEDeviceManager::doStopScan() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  canRequireBluetooth_ = false;
  isScanning_ = false;
  scanPending_ = false;
  if (central_) central_->stopScan();
  reporter_.scanningStopped(HubConnectionType::bluetoothLowenergy);
}

void QenBLEDeviceManager::onPeripheralFound(const bluetooth::BlePeripheral& peripheral) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto record = deviceRecord(peripheral);
  if (!record) return;
  log_.debug("%s Discovered %s with ID: %s", kTag, peripheral.name.value_or("Unknown name"), peripheral.id);
  devices_.try_emplace(peripheral.id);  // a known hub keeps its connection and queue
  reporter_.deviceFound(std::move(*record));
}

void QenBLEDeviceManager::onPeripheralVanished(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  // The central has ended its connection (and said so) before this. The record stays: the page
  // was told of this hub, and connecting it has the central look for it again.
  log_.debug("%s Hub %s is no longer listed by the adapter", kTag, id);
}

void QenBLEDeviceManager::doConnect(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!central_) return;
  auto it = devices_.find(id);
  if (it == devices_.end()) {
    log_.info("%s Tried to connect to unknown device", kTag);
    reporter_.connectResult(shared_from_this(), id, false);
    return;
  }
  BLEDevice& device = it->second;
  switch (device.link) {
    case Link::ready:
      reporter_.connectResult(shared_from_this(), id, true);  // answers a repeated request
      return;
    case Link::connecting:
    case Link::discovering:
      return;  // the attempt under way answers every request made for it
    case Link::none:
      break;
  }
  device.link = Link::connecting;
  device.disconnectReported = false;
  central_->connect(id);
}

void QenBLEDeviceManager::onConnected(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto it = devices_.find(id);
  if (it == devices_.end() || it->second.link != Link::connecting) return;
  it->second.state = BLEDeviceState::connected;
  it->second.link = Link::discovering;
  log_.debug("%s Discovering services for hub %s", kTag, id);
  // Every service of the hub is searched; the outcome comes back either way.
  central_->findCharacteristic(id, kHubCharacteristic);
}

void QenBLEDeviceManager::onCharacteristicFound(const std::string& id, const std::optional<BluetoothError>& error) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto it = devices_.find(id);
  if (it == devices_.end() || it->second.link != Link::discovering) return;
  log_.debug("%s Service discovered for hub %s", kTag, id);
  if (error) {
    log_.debug("%s Ignoring non Qen Characteristic: %s", kTag, error->message);
    failConnect(id, it->second);
    return;
  }
  it->second.characteristics = kHubCharacteristic;
  central_->subscribe(id, kHubCharacteristic);
}

void QenBLEDeviceManager::onSubscribed(const std::string& id, const std::optional<BluetoothError>& error) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto it = devices_.find(id);
  if (it == devices_.end()) {
    log_.debug("%s Received update from unknown peripheral: %s", kTag, id);
    return;
  }
  if (it->second.link != Link::discovering) return;
  if (error) {
    log_.debug("%s Could not subscribe to Qen characteristic: %s", kTag, error->message);
    failConnect(id, it->second);
    return;
  }
  it->second.link = Link::ready;
  reporter_.connectResult(shared_from_this(), id, true);
}

void QenBLEDeviceManager::failConnect(const std::string& id, BLEDevice& device) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  // The page was never told of this link: it ends quietly, and the failure is the only report.
  resetLink(device);
  device.state = BLEDeviceState::available;
  ++device.quietDisconnects;
  central_->disconnect(id);
  reporter_.connectResult(shared_from_this(), id, false);
}

void QenBLEDeviceManager::onConnectFailed(const std::string& id, const BluetoothError& error) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto it = devices_.find(id);
  if (it == devices_.end()) {
    log_.debug("%s Failed to find ble device for identifier %s", kTag, id);
    return;
  }
  if (it->second.disconnectReported) {
    it->second.disconnectReported = false;  // said when Bluetooth went off
    return;
  }
  if (it->second.link != Link::connecting && it->second.link != Link::discovering) return;
  log_.info("%s Connecting to %s failed: %s", kTag, id, error.message);
  resetLink(it->second);
  it->second.state = BLEDeviceState::available;
  reporter_.connectResult(shared_from_this(), id, false);
}

void QenBLEDeviceManager::onDisconnected(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  log_.info("%s Disconnected from hub %s", kTag, id);
  auto it = devices_.find(id);
  if (it == devices_.end()) {
    log_.debug("%s Failed to find ble device for identifier %s", kTag, id);
    return;
  }
  BLEDevice& device = it->second;
  if (device.disconnectReported) {
    device.disconnectReported = false;  // said when Bluetooth went off
    return;
  }
  if (device.quietDisconnects > 0) {
    --device.quietDisconnects;
    return;
  }
  const Link link = device.link;
  const bool asked = std::exchange(device.disconnectAsked, false);
  resetLink(device);
  if (device.state == BLEDeviceState::connected) device.state = BLEDeviceState::available;
  if (link == Link::connecting || link == Link::discovering) {
    // The link dropped before the hub was ready: the attempt failed.
    reporter_.connectResult(shared_from_this(), id, false);
    if (asked) reporter_.disconnected(id);
  } else if (link == Link::ready || asked) {
    reporter_.disconnected(id);
  }
  // Otherwise the end of a link dropped after a failed attempt, already answered.
}

void QenBLEDeviceManager::doDisconnect(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!central_) return;
  auto it = devices_.find(id);
  if (it == devices_.end()) {
    log_.info("%s Tried to disconnect to unknown device", kTag);
    reporter_.disconnected(id);
    return;
  }
  // The central answers every disconnect with one report, connected or not.
  it->second.disconnectAsked = true;
  it->second.disconnectReported = false;
  central_->disconnect(id);
}

void QenBLEDeviceManager::resetLink(BLEDevice& device) {
  // Messages not yet written belong to the connection that ended; a later connection starts
  // with an empty queue and nothing in flight, so it can be written to again.
  device.link = Link::none;
  device.characteristics.reset();
  device.outgoingData.clear();
  device.transmitting = false;
}

void QenBLEDeviceManager::doSend(const std::string& id, std::string bytes) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto it = devices_.find(id);
  if (it == devices_.end()) {
    log_.error("%s Tried to write to unknown device", kTag);
    reporter_.disconnected(id);
    return;
  }
  it->second.outgoingData.push_back(std::move(bytes));
  sendNextMessage(id);
}

void QenBLEDeviceManager::sendNextMessage(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto it = devices_.find(id);
  if (it == devices_.end()) {
    log_.error("%s Tried to work on non existing message queue", kTag);
    return;
  }
  BLEDevice& device = it->second;
  if (!device.characteristics || device.link != Link::ready || !central_) {
    log_.error("%s Tried to write to device that had no characteristic attached", kTag);
    device.outgoingData.clear();
    reporter_.disconnected(id);
    return;
  }
  if (device.transmitting || device.outgoingData.empty()) return;
  device.transmitting = true;
  const std::string& message = device.outgoingData.front();
  central_->write(id, *device.characteristics, Bytes(message.begin(), message.end()));
  log_.info("%s Sending message: %s", kTag, hexText(message));
}

void QenBLEDeviceManager::onWriteCompleted(const std::string& id, const std::optional<BluetoothError>& error) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto it = devices_.find(id);
  if (it == devices_.end() || !it->second.transmitting) return;
  BLEDevice& device = it->second;
  if (error) {
    log_.debug("%s Error writing value to characteristic: %s", kTag, error->message);
    // Nothing stays stuck in flight: the queue is dropped with the connection, and the hub
    // service fails the sends it was still holding when the disconnect report arrives.
    device.outgoingData.clear();
    device.transmitting = false;
    if (central_->isConnected(id)) {
      doDisconnect(id);
    }
    // Otherwise the link is gone already and its disconnect report follows.
    return;
  }
  if (!device.outgoingData.empty()) device.outgoingData.pop_front();
  device.transmitting = false;
  log_.info("%s Did write to hub", kTag);
  sendNextMessage(id);
  reporter_.sendCompleted(id);
}

void QenBLEDeviceManager::onValueChanged(const std::string& id, const Bytes& value) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (value.empty()) {
    log_.debug("%s Got empty value in characteristic update", kTag);
    return;
  }
  if (!devices_.count(id)) {
    log_.debug("%s Failed to find ble device for identifier %s", kTag, id);
    return;
  }
  reporter_.dataReceived(id, std::string(value.begin(), value.end()));
}

}  // namespace kestrom

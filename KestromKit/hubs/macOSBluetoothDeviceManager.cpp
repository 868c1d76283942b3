#include "KestromKit/hubs/macOSBluetoothDeviceManager.h"

#include <algorithm>
#include <utility>

#include "KestromKit/hubs/HexText.h"
#include "KestromKit/hubs/StreamHops.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

using bluetooth::AdapterState;
using bluetooth::BluetoothError;

/// Receives the Bluetooth object's reports on its thread and only hops them onto the manager's
/// queue, tagged with the object they came from.
class macOSBluetoothDeviceManager::BluetoothObserver final
    : public HoppingObserver<macOSBluetoothDeviceManager, bluetooth::ClassicBluetoothObserver> {
 public:
  using HoppingObserver::HoppingObserver;

  void adapterStateChanged(AdapterState state) override {
    hop([state](macOSBluetoothDeviceManager& m) { m.onAdapterState(state); });
  }
  void deviceFound(const bluetooth::ClassicDevice& device) override {
    hop([device](macOSBluetoothDeviceManager& m) { m.onDeviceFound(device); });
  }
  void discoveryStopped(const BluetoothError& error) override {
    hop([error](macOSBluetoothDeviceManager& m) { m.onDiscoveryStopped(error); });
  }
  void connected(const std::string& address, OwnedFd socket) override {
    // The socket travels in a shared holder: tasks are copyable, descriptors are not.
    auto held = std::make_shared<OwnedFd>(std::move(socket));
    hop([address, held](macOSBluetoothDeviceManager& m) { m.onConnected(address, std::move(*held)); });
  }
  void connectFailed(const std::string& address, const BluetoothError& error) override {
    hop([address, error](macOSBluetoothDeviceManager& m) { m.onConnectFailed(address, error); });
  }
  void disconnected(const std::string& address) override {
    hop([address](macOSBluetoothDeviceManager& m) { m.onLinkEnded(address); });
  }
};

std::shared_ptr<macOSBluetoothDeviceManager> macOSBluetoothDeviceManager::create(
    std::shared_ptr<dispatch::Queue> delegationQueue, log::Logger log, bool verbose, BluetoothMaker makeBluetooth,
    Options options) {
  return std::shared_ptr<macOSBluetoothDeviceManager>(new macOSBluetoothDeviceManager(
      std::move(delegationQueue), std::move(log), verbose, std::move(makeBluetooth), options));
}

macOSBluetoothDeviceManager::macOSBluetoothDeviceManager(std::shared_ptr<dispatch::Queue> delegationQueue,
                                                         log::Logger log, bool verbose, BluetoothMaker makeBluetooth,
                                                         Options options)
    : queue_(dispatch::makeSerialQueue("macOSBluetoothDeviceManager")),
      log_(std::move(log)),
      verbose_(verbose),
      reporter_(std::move(delegationQueue)),
      makeBluetooth_(std::move(makeBluetooth)),
      options_(options) {}

macOSBluetoothDeviceManager::~macOSBluetoothDeviceManager() {
  // Nothing else runs on this manager now; each channel stops its watch as it closes.
  for (auto& [id, channel] : channels_) channel.channel->close();
}

IDeviceFound macOSBluetoothDeviceManager::deviceRecord(const bluetooth::ClassicDevice& device) {
  IDeviceFound record;
  record.id = device.address;
  record.name = device.name.value_or(device.address);
  record.type = HubConnectionType::bluetoothClassic;
  return record;
}

// DeviceManager: every operation hops onto the manager's queue.

void macOSBluetoothDeviceManager::startScan(std::optional<std::vector<std::string>>) {
  queue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->canRequireBluetooth_ = true;
    self->scanRequested_ = true;
    if (!self->manager_) {
      self->ensureManager();  // the inquiry starts once the adapter reads as powered on
    } else if (self->adapterKnown_) {
      self->startInquiry();
    }
  });
}

void macOSBluetoothDeviceManager::setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate) {
  reporter_.setDelegate(std::move(delegate));
}

void macOSBluetoothDeviceManager::stopScan() {
  queue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->doStopScan();
  });
}

void macOSBluetoothDeviceManager::connect(const std::string& id) {
  queue_->async([weak = weak_from_this(), id] {
    if (auto self = weak.lock()) self->doConnect(id);
  });
}

void macOSBluetoothDeviceManager::disconnect(const std::string& id) {
  queue_->async([weak = weak_from_this(), id] {
    auto self = weak.lock();
    if (!self) return;
    self->cleanup(id, true);
    // An attempt under way ends too (its failure is reported), and the Bluetooth service lets
    // the link go.
    if (self->manager_) self->manager_->disconnect(id);
  });
}

void macOSBluetoothDeviceManager::send(std::string bytes, const std::string& id) {
  queue_->async([weak = weak_from_this(), id, bytes = std::move(bytes)]() mutable {
    if (auto self = weak.lock()) self->doSend(id, std::move(bytes));
  });
}

bool macOSBluetoothDeviceManager::isConnected(const std::string& id) {
  return queue_->syncValue([&] {
    auto it = channels_.find(id);
    return it != channels_.end() && it->second.channel->isOpen();
  });
}

// On the "macOSBluetoothDeviceManager" queue.

void macOSBluetoothDeviceManager::ensureManager() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!manager_) recreateManager();
}

void macOSBluetoothDeviceManager::recreateManager() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  // The old object (if any) stops its thread here; its reports still queued are dropped.
  const std::uint64_t generation = ++generation_;
  manager_.reset();
  observer_ = std::make_shared<BluetoothObserver>(weak_from_this(), queue_, generation);
  adapterKnown_ = false;
  manager_ = makeBluetooth_();
  if (manager_) manager_->setObserver(observer_);
}

void macOSBluetoothDeviceManager::startInquiry() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  foundDevices_.clear();
  isSearching_ = true;
  manager_->startDiscovery();  // a failure to start comes back as discoveryStopped
  scheduleClearing(++search_);
}

void macOSBluetoothDeviceManager::scheduleClearing(std::uint64_t search) {
  queue_->asyncAfter(options_.clearInterval, [weak = weak_from_this(), search] {
    auto self = weak.lock();
    if (!self || self->search_ != search || !self->isSearching_) return;
    // A hub still in range is reported again on its next sighting.
    if (self->manager_ && self->manager_->adapterState() == AdapterState::poweredOn) self->foundDevices_.clear();
    self->scheduleClearing(search);
  });
}

void macOSBluetoothDeviceManager::doStopScan() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  canRequireBluetooth_ = false;
  scanRequested_ = false;
  if (isSearching_ && manager_) manager_->stopDiscovery();
  // Every stop is answered, a running discovery's too: the hub service counts on one report per
  // stop to tell the page once.
  reporter_.scanningStopped(HubConnectionType::bluetoothClassic);
  isSearching_ = false;
  ++search_;
}

void macOSBluetoothDeviceManager::onAdapterState(AdapterState state) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  adapterKnown_ = true;
  if (state == AdapterState::poweredOn) {
    // Only a scan that was asked for starts (again) when the adapter comes on.
    if (scanRequested_) startInquiry();
    return;
  }
  // Links end with the adapter: the hub service hears of each before the alert.
  std::vector<std::string> linked;
  for (const auto& [id, channel] : channels_) linked.push_back(id);
  for (const auto& id : linked) cleanup(id, true);
  if (canRequireBluetooth_) {
    canRequireBluetooth_ = false;
    reporter_.bluetoothUnavailable([self = shared_from_this()] {
      self->queue_->async([self] { self->recreateManager(); });
    });
  } else {
    doStopScan();
  }
}

void macOSBluetoothDeviceManager::onDeviceFound(const bluetooth::ClassicDevice& device) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!isSearching_ || !foundDevices_.insert(device.address).second) return;
  reporter_.deviceFound(deviceRecord(device));
}

void macOSBluetoothDeviceManager::onDiscoveryStopped(const BluetoothError& error) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  log_.error("%s - discovery stopped: %s", tag_, error.message);
  if (!isSearching_) return;
  isSearching_ = false;
  ++search_;
  reporter_.scanningStopped(HubConnectionType::bluetoothClassic);
}

void macOSBluetoothDeviceManager::doConnect(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  ensureManager();
  if (channels_.count(id)) {
    reporter_.connectResult(shared_from_this(), id, true);  // answers a repeated request
    return;
  }
  if (!connecting_.insert(id).second) return;  // the attempt under way answers this request too
  if (verbose_) log_.debug("%s opening connection to %s", tag_, id);
  manager_->connect(id);
}

void macOSBluetoothDeviceManager::onConnected(const std::string& id, OwnedFd socket) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (connecting_.erase(id) == 0) {
    log_.error("%s - a link to %s came without a connection attempt; closing it", tag_, id);
    manager_->disconnect(id);
    return;
  }
  const std::uint64_t number = nextChannel_++;
  const StreamHops<macOSBluetoothDeviceManager> hops(queue_, weak_from_this(), number, id);
  auto opened = bluetooth::RfcommStream::open(std::move(socket), "rfcomm", hops.handlers());
  if (!opened) {
    log_.error("%s - cannot use the link to %s: %s", tag_, id, opened.error());
    manager_->disconnect(id);
    reporter_.connectResult(shared_from_this(), id, false);
    return;
  }
  channels_[id] = Channel{.channel = std::move(*opened), .number = number};
  if (verbose_) log_.debug("%s rf channel opened to %s", tag_, id);
  reporter_.connectResult(shared_from_this(), id, true);
}

void macOSBluetoothDeviceManager::onConnectFailed(const std::string& id, const BluetoothError& error) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (connecting_.erase(id) == 0) return;
  log_.error("%s connection to %s failed: %s", tag_, id, error.message);
  cleanup(id, false);
  reporter_.connectResult(shared_from_this(), id, false);
}

void macOSBluetoothDeviceManager::onLinkEnded(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  // Only a link that still has its channel: the end of one this manager dropped itself was
  // reported when it was dropped.
  if (!channels_.count(id)) return;
  log_.info("%s - the link to %s ended", tag_, id);
  cleanup(id, true);
}

void macOSBluetoothDeviceManager::doSend(const std::string& id, std::string bytes) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto it = channels_.find(id);
  if (it == channels_.end()) {
    log_.error("%s - asked to send %d bytes to %s, but it has no open connection. Data ignored.", tag_,
               static_cast<int>(bytes.size()), id);
    return;
  }
  it->second.outboundData += bytes;
  // One piece in flight: the pieces of later messages follow those of earlier ones.
  if (!it->second.writing) sendNextChunk(id);
}

void macOSBluetoothDeviceManager::sendNextChunk(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto it = channels_.find(id);
  if (it == channels_.end()) return;
  Channel& channel = it->second;
  if (channel.outboundData.empty()) {
    reporter_.sendCompleted(id);
    return;
  }
  const std::size_t size = std::min(channel.outboundData.size(), options_.writePieceSize);
  std::string piece = channel.outboundData.substr(0, size);
  if (verbose_) log_.debug("%s sending %s", tag_, hexText(piece));
  channel.writing = true;
  channel.outboundData.erase(0, size);
  const StreamHops<macOSBluetoothDeviceManager> hops(queue_, weak_from_this(), channel.number, id);
  channel.channel->write(std::move(piece), hops.written());
}

void macOSBluetoothDeviceManager::onWritten(std::uint64_t number, const std::string& id,
                                            const std::optional<std::string>& error) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!isCurrent(number, id)) return;
  channels_.at(id).writing = false;
  if (error) {
    log_.error("%s - writing to %s failed: %s", tag_, id, *error);
    cleanup(id, true);
    return;
  }
  sendNextChunk(id);
}

void macOSBluetoothDeviceManager::onData(std::uint64_t number, const std::string& id, std::string bytes) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!isCurrent(number, id)) {
    log_.error("%s - received %d bytes from a channel with no open connections", tag_,
               static_cast<int>(bytes.size()));
    return;
  }
  reporter_.dataReceived(id, std::move(bytes));
}

void macOSBluetoothDeviceManager::onStreamEnded(std::uint64_t number, const std::string& id,
                                                const std::string& reason) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!isCurrent(number, id)) return;
  log_.info("%s - the link to %s closed: %s", tag_, id, reason);
  cleanup(id, true);
}

void macOSBluetoothDeviceManager::cleanup(const std::string& id, bool report) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (auto node = channels_.extract(id)) {
    node.mapped().channel->close();  // unsent bytes are dropped
    if (manager_) manager_->disconnect(id);  // the Bluetooth service lets go of the link too
  }
  if (report) reporter_.disconnected(id);
}

bool macOSBluetoothDeviceManager::isCurrent(std::uint64_t number, const std::string& id) const {
  auto it = channels_.find(id);
  return it != channels_.end() && it->second.number == number;
}

}  // namespace kestrom

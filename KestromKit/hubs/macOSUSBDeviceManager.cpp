#include "KestromKit/hubs/macOSUSBDeviceManager.h"

#include <utility>

#include "KestromKit/hubs/StreamHops.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace {

constexpr float kPortUsageIntervalTime = 0.5f;

// The key of a port in `devices_`.
std::string serialKey(const SerialDevice& device) { return device.serialNumber.value_or(""); }

}  // namespace

std::shared_ptr<macOSUSBDeviceManager> macOSUSBDeviceManager::create(std::shared_ptr<dispatch::Queue> delegationQueue,
                                                                     log::Logger log,
                                                                     std::shared_ptr<serial::SerialPorts> ports) {
  std::shared_ptr<macOSUSBDeviceManager> manager(
      new macOSUSBDeviceManager(std::move(delegationQueue), std::move(log)));
  // The monitor announces on its polling thread; the announcements change `devices_` on main, and
  // only while the scan that made them is still the current one.
  std::weak_ptr<macOSUSBDeviceManager> weak = manager;
  manager->usbScanner_ = std::make_shared<SerialDeviceMonitor>(
      std::move(ports),
      [weak, raw = manager.get()](SerialDeviceNotification notification, const SerialDevice& device) {
        const std::uint64_t scan = raw->scan_.load();
        dispatch::mainQueue()->async([weak, notification, device, scan] {
          if (auto self = weak.lock()) self->onSerialDevice(notification, device, scan);
        });
      },
      kPortUsageIntervalTime);
  return manager;
}

macOSUSBDeviceManager::macOSUSBDeviceManager(std::shared_ptr<dispatch::Queue> delegationQueue, log::Logger log)
    : queue_(dispatch::makeSerialQueue("macOSUSBDeviceManager")),
      log_(std::move(log)),
      reporter_(std::move(delegationQueue)) {}

macOSUSBDeviceManager::~macOSUSBDeviceManager() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  // Nothing else runs on this manager now; the streams stop their watches as they close.
  for (auto& [id, connection] : connections_) connection.stream->close();
}

std::optional<IDeviceFound> macOSUSBDeviceManager::deviceRecord(const SerialDevice& device) {
  if (!device.vendorId || !device.productId || !device.serialNumber || device.serialNumber->empty())
    return std::nullopt;
  IDeviceFound record;
  record.id = *device.serialNumber;
  record.name = device.name.value_or("");
  record.serial = IDeviceFound::Serial{.productID = static_cast<double>(*device.productId),
                                       .vendorID = static_cast<double>(*device.vendorId)};
  record.type = HubConnectionType::usb;
  return record;
}

// DeviceManager

void macOSUSBDeviceManager::startScan(std::optional<std::vector<std::string>>) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (scanning_) return;
  scanning_ = true;
  startScanning();
}

void macOSUSBDeviceManager::setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate) {
  reporter_.setDelegate(std::move(delegate));
}

void macOSUSBDeviceManager::stopScan() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (scanning_) {
    scanning_ = false;
    stopScanning();
  }
  // Every stop is answered once: the hub service tells the page of each stop with this report.
  reporter_.scanningStopped(HubConnectionType::usb);
}

void macOSUSBDeviceManager::startScanning() {
  thread_ = std::jthread([monitor = usbScanner_](std::stop_token stop) { monitor->start(std::move(stop)); });
}

void macOSUSBDeviceManager::stopScanning() {
  // The loop is over before a new scan can start one, so two loops never poll at once and the
  // monitor's list of ports has one owner at a time. Its last announcements carry the old scan's
  // number, which is retired only now, and are dropped when they reach main.
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
  thread_ = {};
  ++scan_;
}

void macOSUSBDeviceManager::onSerialDevice(SerialDeviceNotification notification, const SerialDevice& device,
                                           std::uint64_t scan) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (scan != scan_.load()) return;
  if (notification == SerialDeviceNotification::removed) {
    devices_.erase(serialKey(device));
    return;
  }
  devices_.insert_or_assign(serialKey(device), device);
  if (auto record = deviceRecord(device)) reporter_.deviceFound(std::move(*record));
}

void macOSUSBDeviceManager::connect(const std::string& id) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto known = devices_.find(id);
  if (known == devices_.end()) {
    reporter_.connectResult(shared_from_this(), id, false);
    return;
  }
  const std::string path = known->second.path;
  const std::uint64_t number = nextConnection_++;
  const StreamHops<macOSUSBDeviceManager> hops(queue_, weak_from_this(), number, id);
  // Opened on the manager's queue, so the stream's first bytes reach it only after the connection
  // is registered and its success reported: the page hears "/hub/connected" before any data.
  queue_->sync([&] {
    auto opened = serial::SerialStream::open(path, serial::SerialStream::kDefaultBaudRate, hops.handlers());
    if (!opened) {
      log_.error("%s - cannot open the port of %s: %s", tag_, id, opened.error());
      reporter_.connectResult(shared_from_this(), id, false);
      return;
    }
    Connection& connection = connections_[id];
    std::shared_ptr<serial::SerialStream> replaced = std::exchange(connection.stream, *opened);
    connection.number = number;
    connection.unsentMessages = 0;
    if (replaced) replaced->close();  // a second connect opens the port afresh
    reporter_.connectResult(shared_from_this(), id, true);
  });
}

void macOSUSBDeviceManager::disconnect(const std::string& id) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  queue_->async([weak = weak_from_this(), id] {
    if (auto self = weak.lock()) self->close(id);
  });
}

void macOSUSBDeviceManager::send(std::string bytes, const std::string& id) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  queue_->async([weak = weak_from_this(), id, bytes = std::move(bytes)]() mutable {
    if (auto self = weak.lock()) self->onSend(id, std::move(bytes));
  });
}

bool macOSUSBDeviceManager::isConnected(const std::string& id) {
  return queue_->syncValue([&] {
    auto it = connections_.find(id);
    return it != connections_.end() && it->second.stream->isOpen();
  });
}

// On the "macOSUSBDeviceManager" queue.

void macOSUSBDeviceManager::onSend(const std::string& id, std::string bytes) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto it = connections_.find(id);
  if (it == connections_.end()) {
    log_.error("%s - asked to send %d bytes to %s, but it has no open connection. Data ignored.", tag_,
               static_cast<int>(bytes.size()), id);
    return;
  }
  Connection& connection = it->second;
  ++connection.unsentMessages;
  // The stream keeps the messages in order and completes an empty one without writing, so an
  // empty message never holds up the ones behind it.
  const StreamHops<macOSUSBDeviceManager> hops(queue_, weak_from_this(), connection.number, id);
  connection.stream->write(std::move(bytes), hops.written());
}

void macOSUSBDeviceManager::onData(std::uint64_t number, const std::string& id, std::string bytes) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!isCurrentConnection(number, id)) {
    log_.error("%s - did read %d bytes from stream, but found no connection. Data ignored.", tag_,
               static_cast<int>(bytes.size()));
    return;
  }
  reporter_.dataReceived(id, std::move(bytes));
}

void macOSUSBDeviceManager::onWritten(std::uint64_t number, const std::string& id,
                                      const std::optional<std::string>& error) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!isCurrentConnection(number, id)) return;  // closed since: its writes were dropped
  if (error) {
    log_.error("%s - writing to %s failed: %s", tag_, id, *error);
    close(id);
    return;
  }
  Connection& connection = connections_.at(id);
  if (connection.unsentMessages > 0) --connection.unsentMessages;
  if (connection.unsentMessages == 0) reporter_.sendCompleted(id);
}

void macOSUSBDeviceManager::onStreamEnded(std::uint64_t number, const std::string& id, const std::string& reason) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!isCurrentConnection(number, id)) return;
  log_.info("%s - the port of %s closed: %s", tag_, id, reason);
  close(id);
}

void macOSUSBDeviceManager::close(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (auto node = connections_.extract(id)) node.mapped().stream->close();
  reporter_.disconnected(id);
}

bool macOSUSBDeviceManager::isCurrentConnection(std::uint64_t number, const std::string& id) const {
  auto it = connections_.find(id);
  return it != connections_.end() && it->second.number == number;
}

}  // namespace kestrom

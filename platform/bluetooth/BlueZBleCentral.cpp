#include "platform/bluetooth/BlueZBleCentral.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "platform/bluetooth/BlueZBleCentralImpl.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom::bluetooth {

using namespace bluez;
using Kind = BluetoothError::Kind;

namespace {

// Namespace of our peripheral ids (name-based UUIDs, version 5).
constexpr std::uint8_t kIdNamespace[16] = {0x6b, 0x1e, 0x4c, 0x52, 0x9a, 0x07, 0x4f, 0x3d,
                                           0xb2, 0x61, 0x0e, 0x8c, 0x5d, 0x3a, 0x71, 0x94};

}  // namespace

std::string BlueZBleCentral::peripheralId(const std::string& adapterAddress,
                                          const std::string& deviceAddress) {
  std::string name = adapterAddress + "/" + deviceAddress;
  GChecksum* sha1 = g_checksum_new(G_CHECKSUM_SHA1);
  g_checksum_update(sha1, kIdNamespace, sizeof kIdNamespace);
  g_checksum_update(sha1, reinterpret_cast<const guchar*>(name.data()), static_cast<gssize>(name.size()));
  guint8 digest[20];
  gsize length = sizeof digest;
  g_checksum_get_digest(sha1, digest, &length);
  g_checksum_free(sha1);
  digest[6] = static_cast<guint8>((digest[6] & 0x0f) | 0x50);
  digest[8] = static_cast<guint8>((digest[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", digest[0],
                digest[1], digest[2], digest[3], digest[4], digest[5], digest[6], digest[7], digest[8],
                digest[9], digest[10], digest[11], digest[12], digest[13], digest[14], digest[15]);
  return text;
}

// ---- tree events

void BlueZBleCentral::Impl::treeReloaded() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  updateAdapter();
  std::set<std::string> stillThere;
  for (const auto& [path, interfaces] : objects_.objects()) {
    if (interfaces.count(kDevice)) {
      addPeripheral(path, false);
      stillThere.insert(path);
    }
  }
  std::vector<std::string> gone;
  for (const auto& [id, path] : peripherals_) {
    if (!stillThere.count(path)) {
      gone.push_back(id);
    }
  }
  for (const auto& id : gone) {
    std::string path = peripherals_[id];
    interfacesRemoved(path, {kDevice});
  }
  // A connection the service no longer knows as connected has ended.
  std::vector<std::string> ended;
  for (const auto& [id, connection] : connections_) {
    auto* device = objects_.find(connection.path, kDevice);
    if (connection.established && (!device || !valueOf<bool>(*device, "Connected").value_or(false))) {
      ended.push_back(id);
    }
  }
  for (const auto& id : ended) {
    endConnection(id, notConnected(id));
  }
}

void BlueZBleCentral::Impl::interfacesAdded(const std::string& path, const InterfaceMap& added) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  if (added.count(kAdapter)) {
    updateAdapter();
  }
  if (added.count(kDevice)) {
    addPeripheral(path, scanning_);
  }
}

void BlueZBleCentral::Impl::propertiesChanged(const std::string& path, const std::string& interface,
                                              const PropertyMap& changed) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  if (interface == kAdapter && path == adapterPath_) {
    updateAdapter();
  } else if (interface == kDevice) {
    auto idIt = pathIds_.find(path);
    if (idIt == pathIds_.end()) {
      return;
    }
    std::string id = idIt->second;
    if (scanning_ && (changed.count("RSSI") || changed.count("ManufacturerData") || changed.count("Name"))) {
      if (auto peripheral = describe(path); peripheral && passesFilter(*peripheral)) {
        report([&](BleCentralObserver& o) { o.peripheralFound(*peripheral); });
      }
    }
    auto it = connections_.find(id);
    if (it == connections_.end()) {
      return;
    }
    if (!it->second.established && valueOf<bool>(changed, "ServicesResolved").value_or(false)) {
      finishConnect(id);
    } else if (it->second.established && !valueOf<bool>(changed, "Connected").value_or(true)) {
      endConnection(id, notConnected(id));
    }
  } else if (interface == kGattCharacteristic) {
    auto value = valueOf<std::vector<std::uint8_t>>(changed, "Value");
    if (!value) {
      return;
    }
    for (auto& [id, connection] : connections_) {
      if (!connection.established || path.rfind(connection.path + "/", 0) != 0) {
        continue;
      }
      std::string uuid;
      if (auto sub = connection.subscriptions.find(path); sub != connection.subscriptions.end()) {
        uuid = sub->second;
      } else if (auto* props = objects_.find(path, kGattCharacteristic)) {
        uuid = valueOf<std::string>(*props, "UUID").value_or("");
      }
      report([&, &id = id](BleCentralObserver& o) { o.valueChanged(id, uuid, *value); });
      return;
    }
  }
}

void BlueZBleCentral::Impl::interfacesRemoved(const std::string& path,
                                              const std::vector<std::string>& interfaces) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  for (const auto& interface : interfaces) {
    if (interface == kAdapter) {
      updateAdapter();
    } else if (interface == kDevice) {
      auto idIt = pathIds_.find(path);
      if (idIt == pathIds_.end()) {
        continue;
      }
      std::string id = idIt->second;
      pathIds_.erase(idIt);
      peripherals_.erase(id);
      if (auto c = connections_.find(id); c != connections_.end() && !c->second.established) {
        // Forgotten while the attempt was under way: it looks for the peripheral instead.
        objects_.cancelLater(c->second.connectCall);
        c->second.path.clear();
        updateDiscovery();
      } else if (c != connections_.end()) {
        endConnection(id, {Kind::notConnected, "peripheral " + id + " vanished"});
      }
      report([&](BleCentralObserver& o) { o.peripheralVanished(id); });
    }
  }
}

void BlueZBleCentral::Impl::updateAdapter() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  adapterPath_ = objects_.adapterPath();
  if (adapterPath_) {
    adapterAddress_ = valueOf<std::string>(*objects_.find(*adapterPath_, kAdapter), "Address").value_or(*adapterPath_);
  }
  auto state = updateAdapterState();
  if (!state || *state == AdapterState::poweredOn) {
    return;
  }
  BluetoothError off = adapterUnavailable(*state);
  std::vector<std::string> ids;
  for (const auto& [id, connection] : connections_) {
    ids.push_back(id);
  }
  for (const auto& id : ids) {
    endConnection(id, off);
  }
  const bool wasScanning = std::exchange(scanning_, false);
  if (scan_.end() && wasScanning) {
    report([&](BleCentralObserver& o) { o.scanStopped(off); });
  }
}

void BlueZBleCentral::Impl::addPeripheral(const std::string& path, bool reportIt) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto peripheral = describe(path);
  if (!peripheral) {
    return;
  }
  peripherals_[peripheral->id] = path;
  pathIds_[path] = peripheral->id;
  seen_[peripheral->id] = peripheral->address;
  if (reportIt && passesFilter(*peripheral)) {
    report([&](BleCentralObserver& o) { o.peripheralFound(*peripheral); });
  }
  resumeAttempts(peripheral->id, path);
}

bool BlueZBleCentral::Impl::passesFilter(const BlePeripheral& peripheral) const {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  // The service's filter only decides which advertisements it adds to its list; the devices it
  // knew already (or that another client's discovery found) are in the tree whatever they offer.
  if (filter_.empty()) {
    return true;
  }
  return std::any_of(peripheral.uuids.begin(), peripheral.uuids.end(), [&](const std::string& uuid) {
    return std::find(filter_.begin(), filter_.end(), uuid) != filter_.end();
  });
}

std::optional<BlePeripheral> BlueZBleCentral::Impl::describe(const std::string& path) const {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto* device = objects_.find(path, kDevice);
  if (!device || !adapterPath_) {
    return std::nullopt;
  }
  auto adapter = valueOf<sdbus::ObjectPath>(*device, "Adapter");
  if (adapter ? *adapter != *adapterPath_ : path.rfind(*adapterPath_ + "/", 0) != 0) {
    return std::nullopt;
  }
  auto address = valueOf<std::string>(*device, "Address");
  if (!address) {
    return std::nullopt;
  }
  BlePeripheral peripheral;
  peripheral.id = peripheralId(adapterAddress_, *address);
  peripheral.address = *address;
  peripheral.name = valueOf<std::string>(*device, "Name");
  peripheral.rssi = valueOf<std::int16_t>(*device, "RSSI");
  for (const auto& text : valueOf<std::vector<std::string>>(*device, "UUIDs").value_or(std::vector<std::string>{})) {
    if (auto uuid = normalizeUuid(text)) {
      peripheral.uuids.push_back(*uuid);
    }
  }
  if (auto data = valueOf<std::map<std::uint16_t, sdbus::Variant>>(*device, "ManufacturerData")) {
    for (const auto& [company, payload] : *data) {
      if (payload.containsValueOfType<std::vector<std::uint8_t>>()) {
        peripheral.manufacturerData[company] = payload.get<std::vector<std::uint8_t>>();
      }
    }
  }
  return peripheral;
}

// ---- scanning

void BlueZBleCentral::Impl::startScan(std::vector<std::string> uuids) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  filter_.clear();
  for (const auto& text : uuids) {
    if (auto uuid = normalizeUuid(text)) {
      filter_.push_back(*uuid);
    }
  }
  if (adapterState_ != AdapterState::poweredOn) {
    BluetoothError error = adapterUnavailable(adapterState_);
    report([&](BleCentralObserver& o) { o.scanStopped(error); });
    return;
  }
  scanning_ = true;
  updateDiscovery();
}

void BlueZBleCentral::Impl::stopScan() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  scanning_ = false;
  updateDiscovery();
}

void BlueZBleCentral::Impl::updateDiscovery() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  std::vector<std::string> sought;
  for (const auto& [id, connection] : connections_) {
    if (connection.path.empty()) {
      sought.push_back(seen_.at(id));
    }
  }
  if (!scanning_ && sought.empty()) {
    scan_.stop();
    return;
  }
  if (!adapterPath_ || adapterState_ != AdapterState::poweredOn) {
    return;
  }
  // The scan's filter while no forgotten peripheral is looked for. One that is need not meet it:
  // the service then lists every LE device (only its address when it is looked for alone and
  // nothing is scanned for), and passesFilter keeps the scan's reports to the scan's filter.
  DiscoveryFilter filter{.transport = "le", .duplicateData = true};
  if (sought.empty()) {
    filter.uuids = filter_;
  } else if (!scanning_ && sought.size() == 1) {
    filter.pattern = sought.front();
  }
  scan_.start(*adapterPath_, filter);
}

// ---- the public face: every operation hops to the loop thread

BlueZBleCentral::BlueZBleCentral(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
BlueZBleCentral::BlueZBleCentral() : BlueZBleCentral(Options{}) {}
BlueZBleCentral::~BlueZBleCentral() = default;

void BlueZBleCentral::setObserver(std::weak_ptr<BleCentralObserver> observer) {
  impl_->setObserver(std::move(observer));
}
AdapterState BlueZBleCentral::adapterState() const { return impl_->adapterState(); }
bool BlueZBleCentral::isConnected(const std::string& id) const { return impl_->isConnected(id); }

void BlueZBleCentral::startScan(std::vector<std::string> serviceUuids) {
  impl_->post([impl = impl_.get(), uuids = std::move(serviceUuids)]() mutable { impl->startScan(std::move(uuids)); });
}
void BlueZBleCentral::stopScan() {
  impl_->post([impl = impl_.get()] { impl->stopScan(); });
}
void BlueZBleCentral::connect(const std::string& id) {
  impl_->post([impl = impl_.get(), id] { impl->connect(id); });
}
void BlueZBleCentral::disconnect(const std::string& id) {
  impl_->post([impl = impl_.get(), id] { impl->disconnect(id); });
}
void BlueZBleCentral::findCharacteristic(const std::string& id, const std::string& characteristic) {
  impl_->post([impl = impl_.get(), id, characteristic] { impl->findCharacteristic(id, characteristic); });
}
void BlueZBleCentral::subscribe(const std::string& id, const std::string& characteristic) {
  impl_->post([impl = impl_.get(), id, characteristic] { impl->subscribe(id, characteristic); });
}
void BlueZBleCentral::write(const std::string& id, const std::string& characteristic, Bytes value) {
  impl_->post([impl = impl_.get(), id, characteristic, value = std::move(value)]() mutable {
    impl->write(id, characteristic, std::move(value));
  });
}

}  // namespace kestrom::bluetooth

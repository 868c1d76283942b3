#include "platform/bluetooth/BlueZBleCentral.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <set>

#include "platform/bluetooth/BlueZClient.h"
#include "platform/bluetooth/BlueZDiscovery.h"

namespace kestrom::bluetooth {

using namespace bluez;
using Kind = BluetoothError::Kind;

namespace {

// Namespace of our peripheral ids (name-based UUIDs, version 5).
constexpr std::uint8_t kIdNamespace[16] = {0x6b, 0x1e, 0x4c, 0x52, 0x9a, 0x07, 0x4f, 0x3d,
                                           0xb2, 0x61, 0x0e, 0x8c, 0x5d, 0x3a, 0x71, 0x94};

BluetoothError notConnected(const std::string& id) {
  return {Kind::notConnected, "peripheral " + id + " is not connected"};
}

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

/// Lives on the loop thread, except the observer slot and the two snapshots read by any thread.
class BlueZBleCentral::Impl final : public BlueZClient<BleCentralObserver> {
 public:
  explicit Impl(Options options) : BlueZClient("BlueZBleCentral", options.log), options_(std::move(options)) {
    start();
  }

  ~Impl() override {
    loop_.stop();  // before the members its handlers use go away
  }

  // Any thread.
  bool isConnected(const std::string& id) const {
    std::lock_guard lock(connectedMutex_);
    return connectedIds_.count(id) != 0;
  }

  // Operations, on the loop thread.
  void startScan(std::vector<std::string> uuids);
  void stopScan();
  void connect(const std::string& id);
  void disconnect(const std::string& id);
  void findCharacteristic(const std::string& id, const std::string& uuid);
  void subscribe(const std::string& id, const std::string& uuid);
  void write(const std::string& id, const std::string& uuid, Bytes value);

 private:
  struct Write {
    std::string characteristic;
    Bytes value;
  };
  struct Connection {
    std::uint64_t serial = 0;
    std::string path;
    bool established = false;
    BusLoop::TimerId timer = 0;
    sdbus::PendingAsyncCall connectCall;
    std::deque<Write> writes;
    bool writing = false;
    sdbus::PendingAsyncCall writeCall;
    std::map<std::string, std::string> subscriptions;  // characteristic path -> text asked for
  };

  // BlueZObjects::Listener
  void treeReloaded() override;
  void interfacesAdded(const std::string& path, const InterfaceMap& added) override;
  void propertiesChanged(const std::string& path, const std::string& interface,
                         const PropertyMap& changed) override;
  void interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces) override;

  void updateAdapter();
  void addPeripheral(const std::string& path, bool report);
  std::optional<BlePeripheral> describe(const std::string& path) const;
  void finishConnect(const std::string& id);
  void endConnection(const std::string& id, const BluetoothError& why);
  void setConnected(const std::string& id, bool connected);
  std::optional<std::string> characteristicPath(const Connection& connection, const std::string& uuid) const;
  void pumpWrites(const std::string& id);
  Connection* connection(const std::string& id, bool established);

  Options options_;
  BlueZDiscovery scan_{objects_, [this](const BluetoothError& error) {
                         options_.log.error("BlueZBleCentral: scan failed: %s", error.message);
                         scanning_ = false;
                         report([&](BleCentralObserver& o) { o.scanStopped(error); });
                       }};

  mutable std::mutex connectedMutex_;  // guards connectedIds_
  std::set<std::string> connectedIds_;

  /// The discovery this central wants now: the page's scan, or a look for forgotten peripherals.
  void updateDiscovery();
  bool passesFilter(const BlePeripheral& peripheral) const;
  /// Attempts waiting for their peripheral to come back get its path and go on.
  void resumeAttempts(const std::string& id, const std::string& path);
  void connectPath(const std::string& id);

  std::optional<std::string> adapterPath_;
  std::string adapterAddress_;
  std::vector<std::string> filter_;
  bool scanning_ = false;                           // between startScan and stopScan
  std::map<std::string, std::string> seen_;         // id -> address of every peripheral ever listed
  std::map<std::string, std::string> peripherals_;  // id -> device path
  std::map<std::string, std::string> pathIds_;      // device path -> id
  std::map<std::string, Connection> connections_;   // by id
  std::uint64_t nextSerial_ = 1;
};

// ---- tree events

void BlueZBleCentral::Impl::treeReloaded() {
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
  if (added.count(kAdapter)) {
    updateAdapter();
  }
  if (added.count(kDevice)) {
    addPeripheral(path, scanning_);
  }
}

void BlueZBleCentral::Impl::propertiesChanged(const std::string& path, const std::string& interface,
                                              const PropertyMap& changed) {
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
  scanning_ = false;
  updateDiscovery();
}

void BlueZBleCentral::Impl::updateDiscovery() {
  std::vector<std::string> sought;
  for (const auto& [id, connection] : connections_) {
    if (connection.path.empty()) {
      sought.push_back(seen_.at(id));
    }
  }
  if (!scanning_ && sought.empty()) {
    scan_.stop(adapterPath_);
    return;
  }
  if (!adapterPath_ || adapterState_ != AdapterState::poweredOn) {
    return;
  }
  PropertyMap filter{{"Transport", sdbus::Variant(std::string("le"))}, {"DuplicateData", sdbus::Variant(true)}};
  if (scanning_) {
    if (!filter_.empty()) {
      filter["UUIDs"] = sdbus::Variant(filter_);
    }
  } else if (sought.size() == 1) {
    // Looking for one forgotten peripheral: only its address.
    filter["Pattern"] = sdbus::Variant(sought.front());
  }
  scan_.start(*adapterPath_, filter);
}

// ---- connections

BlueZBleCentral::Impl::Connection* BlueZBleCentral::Impl::connection(const std::string& id, bool established) {
  auto it = connections_.find(id);
  if (it == connections_.end() || (established && !it->second.established)) {
    return nullptr;
  }
  return &it->second;
}

void BlueZBleCentral::Impl::connect(const std::string& id) {
  if (auto* existing = connection(id, false)) {
    if (existing->established) {
      report([&](BleCentralObserver& o) { o.connected(id); });
    }
    return;  // an attempt under way answers this request too
  }
  auto peripheral = peripherals_.find(id);
  if (peripheral == peripherals_.end() && !seen_.count(id)) {
    BluetoothError error{Kind::notFound, "no peripheral " + id};
    report([&](BleCentralObserver& o) { o.connectFailed(id, error); });
    return;
  }
  if (adapterState_ != AdapterState::poweredOn) {
    BluetoothError error = adapterUnavailable(adapterState_);
    report([&](BleCentralObserver& o) { o.connectFailed(id, error); });
    return;
  }
  auto& attempt = connections_[id];
  attempt.serial = nextSerial_++;
  auto serial = attempt.serial;
  attempt.timer = loop_.after(options_.connectTimeout, [this, id, serial] {
    auto* c = connection(id, false);
    if (!c || c->serial != serial) {
      return;
    }
    c->timer = 0;
    std::string path = c->path;
    endConnection(id, {Kind::timedOut, "connecting to " + id + " timed out"});
    if (!path.empty()) {
      objects_.call(path, kDevice, "Disconnect", {}, [](sdbus::MethodReply&, std::optional<BluetoothError>) {});
    }
  });
  if (peripheral == peripherals_.end()) {
    // Forgotten by the adapter since it was seen: look for it, and connect once it is back.
    options_.log.info("BlueZBleCentral: looking for %s again before connecting", id);
    updateDiscovery();
    return;
  }
  attempt.path = peripheral->second;
  connectPath(id);
}

void BlueZBleCentral::Impl::resumeAttempts(const std::string& id, const std::string& path) {
  auto it = connections_.find(id);
  if (it == connections_.end() || !it->second.path.empty()) {
    return;
  }
  it->second.path = path;
  updateDiscovery();  // the look for it is over
  connectPath(id);
}

void BlueZBleCentral::Impl::connectPath(const std::string& id) {
  auto& attempt = connections_.at(id);
  auto serial = attempt.serial;
  attempt.connectCall = objects_.call(
      attempt.path, kDevice, "Connect", {},
      [this, id, serial, path = attempt.path](sdbus::MethodReply&, std::optional<BluetoothError> error) {
        auto* c = connection(id, false);
        if (!c || c->serial != serial || c->established || c->path != path) {
          return;  // over, or the peripheral went and is looked for again
        }
        if (error) {
          options_.log.error("BlueZBleCentral: connecting to %s failed: %s", id, error->message);
          return endConnection(id, *error);
        }
        auto* device = objects_.find(c->path, kDevice);
        if (device && valueOf<bool>(*device, "ServicesResolved").value_or(false)) {
          finishConnect(id);
        }
      },
      options_.connectTimeout + std::chrono::seconds(5));
}

void BlueZBleCentral::Impl::finishConnect(const std::string& id) {
  auto& connection = connections_.at(id);
  loop_.cancel(connection.timer);
  connection.timer = 0;
  connection.established = true;
  setConnected(id, true);
  report([&](BleCentralObserver& o) { o.connected(id); });
}

void BlueZBleCentral::Impl::endConnection(const std::string& id, const BluetoothError& why) {
  auto it = connections_.find(id);
  if (it == connections_.end()) {
    return;
  }
  Connection connection = std::move(it->second);
  connections_.erase(it);
  if (connection.path.empty()) {
    updateDiscovery();  // no longer looked for
  }
  loop_.cancel(connection.timer);
  objects_.cancelLater(connection.connectCall);
  objects_.cancelLater(connection.writeCall);
  if (!connection.established) {
    report([&](BleCentralObserver& o) { o.connectFailed(id, why); });
    return;
  }
  setConnected(id, false);
  for (const auto& pending : connection.writes) {
    report([&](BleCentralObserver& o) { o.writeCompleted(id, pending.characteristic, why); });
  }
  options_.log.info("BlueZBleCentral: disconnected from %s", id);
  report([&](BleCentralObserver& o) { o.disconnected(id); });
}

void BlueZBleCentral::Impl::setConnected(const std::string& id, bool connected) {
  std::lock_guard lock(connectedMutex_);
  if (connected) {
    connectedIds_.insert(id);
  } else {
    connectedIds_.erase(id);
  }
}

void BlueZBleCentral::Impl::disconnect(const std::string& id) {
  auto peripheral = peripherals_.find(id);
  auto* current = connection(id, false);
  bool established = current && current->established;
  if (current) {
    endConnection(id, {Kind::cancelled, "disconnected from " + id});  // reports an established one
  }
  if (!established) {
    report([&](BleCentralObserver& o) { o.disconnected(id); });
  }
  if (peripheral != peripherals_.end()) {
    objects_.call(peripheral->second, kDevice, "Disconnect", {},
                  [](sdbus::MethodReply&, std::optional<BluetoothError>) {});
  }
}

// ---- characteristics

std::optional<std::string> BlueZBleCentral::Impl::characteristicPath(const Connection& connection,
                                                                     const std::string& text) const {
  auto uuid = normalizeUuid(text);
  if (!uuid) {
    return std::nullopt;
  }
  std::string prefix = connection.path + "/";
  for (auto it = objects_.objects().lower_bound(prefix);
       it != objects_.objects().end() && it->first.rfind(prefix, 0) == 0; ++it) {
    auto props = it->second.find(kGattCharacteristic);
    if (props == it->second.end()) {
      continue;
    }
    auto found = valueOf<std::string>(props->second, "UUID");
    if (found && normalizeUuid(*found) == uuid) {
      return it->first;
    }
  }
  return std::nullopt;
}

void BlueZBleCentral::Impl::findCharacteristic(const std::string& id, const std::string& uuid) {
  std::optional<BluetoothError> error;
  if (auto* c = connection(id, true)) {
    if (!characteristicPath(*c, uuid)) {
      error = BluetoothError{Kind::notFound, "no service of " + id + " has characteristic " + uuid};
    }
  } else {
    error = notConnected(id);
  }
  report([&](BleCentralObserver& o) { o.characteristicFound(id, uuid, error); });
}

void BlueZBleCentral::Impl::subscribe(const std::string& id, const std::string& uuid) {
  auto* c = connection(id, true);
  std::optional<std::string> path = c ? characteristicPath(*c, uuid) : std::nullopt;
  if (!path) {
    BluetoothError error = c ? BluetoothError{Kind::notFound, "no characteristic " + uuid + " on " + id}
                             : notConnected(id);
    report([&](BleCentralObserver& o) { o.subscribed(id, uuid, error); });
    return;
  }
  c->subscriptions[*path] = uuid;
  auto serial = c->serial;
  objects_.call(*path, kGattCharacteristic, "StartNotify", {},
                [this, id, uuid, serial](sdbus::MethodReply&, std::optional<BluetoothError> error) {
                  auto* now = connection(id, true);
                  if (!now || now->serial != serial) {
                    error = notConnected(id);
                  }
                  report([&](BleCentralObserver& o) { o.subscribed(id, uuid, error); });
                });
}

void BlueZBleCentral::Impl::write(const std::string& id, const std::string& uuid, Bytes value) {
  auto* c = connection(id, true);
  if (!c) {
    auto error = notConnected(id);
    report([&](BleCentralObserver& o) { o.writeCompleted(id, uuid, error); });
    return;
  }
  c->writes.push_back({uuid, std::move(value)});
  pumpWrites(id);
}

void BlueZBleCentral::Impl::pumpWrites(const std::string& id) {
  auto* c = connection(id, true);
  while (c && !c->writing && !c->writes.empty()) {
    const Write& next = c->writes.front();
    auto path = characteristicPath(*c, next.characteristic);
    if (!path) {
      std::string uuid = next.characteristic;
      c->writes.pop_front();
      BluetoothError error{Kind::notFound, "no characteristic " + uuid + " on " + id};
      report([&](BleCentralObserver& o) { o.writeCompleted(id, uuid, error); });
      c = connection(id, true);
      continue;
    }
    c->writing = true;
    auto serial = c->serial;
    std::map<std::string, sdbus::Variant> options{{"type", sdbus::Variant(std::string("request"))}};
    c->writeCall = objects_.call(
        *path, kGattCharacteristic, "WriteValue", [&](sdbus::MethodCall& m) { m << next.value << options; },
        [this, id, serial](sdbus::MethodReply&, std::optional<BluetoothError> error) {
          auto* now = connection(id, true);
          if (!now || now->serial != serial || now->writes.empty()) {
            return;
          }
          std::string uuid = now->writes.front().characteristic;
          now->writes.pop_front();
          now->writing = false;
          report([&](BleCentralObserver& o) { o.writeCompleted(id, uuid, error); });
          pumpWrites(id);
        });
  }
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

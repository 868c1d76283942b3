// BlueZBleCentral's links: connecting and disconnecting peripherals, finding and subscribing to
// their characteristics and writing to them, on the loop thread.

#include "platform/bluetooth/BlueZBleCentralImpl.h"

#include <algorithm>

#include "platform/dispatch/QueueCheck.h"

namespace kestrom::bluetooth {

using namespace bluez;
using Kind = BluetoothError::Kind;

// ---- connections

BlueZBleCentral::Impl::Connection* BlueZBleCentral::Impl::connection(const std::string& id, bool established) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto it = connections_.find(id);
  if (it == connections_.end() || (established && !it->second.established)) {
    return nullptr;
  }
  return &it->second;
}

void BlueZBleCentral::Impl::connect(const std::string& id) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
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
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto it = connections_.find(id);
  if (it == connections_.end() || !it->second.path.empty()) {
    return;
  }
  it->second.path = path;
  updateDiscovery();  // the look for it is over
  connectPath(id);
}

void BlueZBleCentral::Impl::connectPath(const std::string& id) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
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
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto& connection = connections_.at(id);
  loop_.cancel(connection.timer);
  connection.timer = 0;
  connection.established = true;
  setConnected(id, true);
  report([&](BleCentralObserver& o) { o.connected(id); });
}

void BlueZBleCentral::Impl::endConnection(const std::string& id, const BluetoothError& why) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
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
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  std::lock_guard lock(connectedMutex_);
  if (connected) {
    connectedIds_.insert(id);
  } else {
    connectedIds_.erase(id);
  }
}

void BlueZBleCentral::Impl::disconnect(const std::string& id) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
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
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
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
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
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
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
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
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
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
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
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

}  // namespace kestrom::bluetooth

// A connected device of the fake service: its GATT services and characteristics, writes answered
// a little later, and notifications.

#include <cstdio>

#include "tests/support/bluez/FakeBluezImpl.h"

namespace kestrom::testing {

using namespace fake_bluez;

FakeBluez::Impl::Characteristic* FakeBluez::Impl::characteristic(const std::string& address, const std::string& uuid) {
  auto* d = device(address);
  if (!d) {
    return nullptr;
  }
  for (auto& service : d->services) {
    for (auto& c : service->characteristics) {
      if (c->info.uuid == uuid) {
        return c.get();
      }
    }
  }
  return nullptr;
}

void FakeBluez::Impl::connectDevice(const std::string& address, sdbus::MethodCall& call) {
  auto* d = device(address);
  if (!d) {
    return replyError(call, "org.freedesktop.DBus.Error.UnknownObject", "no such device");
  }
  if (!powered) {
    return replyError(call, "org.bluez.Error.NotReady", "Resource Not Ready");
  }
  if (d->connected) {
    return call.createReply().send();
  }
  d->connected = true;
  emit(d->object.get(), kDevice, {"Connected"});
  exportServices(*d);
  call.createReply().send();
  // Services resolve a moment after the connection, as on a real link.
  loop.after(std::chrono::milliseconds(5), [this, address] {
    if (auto* now = device(address); now && now->connected) {
      now->servicesResolved = true;
      emit(now->object.get(), kDevice, {"ServicesResolved"});
    }
  });
}

void FakeBluez::Impl::exportServices(Device& d) {
  int nextHandle = 10;
  for (const auto& serviceInfo : d.info.services) {
    auto service = std::make_unique<Service>();
    char name[32];
    std::snprintf(name, sizeof name, "/service%04x", nextHandle++);
    service->path = d.path + name;
    service->uuid = serviceInfo.uuid;
    service->object = sdbus::createObject(*loop.connection(), service->path);
    Service* s = service.get();
    std::string devicePath = d.path;
    property(*s->object, kService, "UUID", "s", [s] { return s->uuid; });
    property(*s->object, kService, "Device", "o", [devicePath] { return sdbus::ObjectPath(devicePath); });
    property(*s->object, kService, "Primary", "b", [] { return true; });
    s->object->finishRegistration();
    s->object->emitInterfacesAddedSignal();
    for (const auto& charInfo : serviceInfo.characteristics) {
      auto c = std::make_unique<Characteristic>();
      std::snprintf(name, sizeof name, "/char%04x", nextHandle++);
      c->path = s->path + name;
      c->info = charInfo;
      c->object = sdbus::createObject(*loop.connection(), c->path);
      Characteristic* ch = c.get();
      std::string servicePath = s->path;
      auto& o = *ch->object;
      property(o, kCharacteristic, "UUID", "s", [ch] { return ch->info.uuid; });
      property(o, kCharacteristic, "Service", "o", [servicePath] { return sdbus::ObjectPath(servicePath); });
      property(o, kCharacteristic, "Flags", "as", [ch] { return ch->info.flags; });
      property(o, kCharacteristic, "Notifying", "b", [ch] { return ch->notifying; });
      property(o, kCharacteristic, "Value", "ay", [ch] { return ch->value; });
      std::string address = d.info.address;
      std::string uuid = charInfo.uuid;
      o.registerMethod(kCharacteristic, "WriteValue", "aya{sv}", "", [this, address, uuid](sdbus::MethodCall call) {
        maxWritesInFlight = std::max(maxWritesInFlight, ++writesInFlight);
        handle("WriteValue", std::move(call), [this, address, uuid](sdbus::MethodCall& call) { writeValue(address, uuid, call); });
      });
      method(o, kCharacteristic, "StartNotify", "", "", [this, address, uuid](sdbus::MethodCall& call) {
        setNotifying(address, uuid, true, call);
      });
      method(o, kCharacteristic, "StopNotify", "", "", [this, address, uuid](sdbus::MethodCall& call) {
        setNotifying(address, uuid, false, call);
      });
      o.finishRegistration();
      o.emitInterfacesAddedSignal();
      s->characteristics.push_back(std::move(c));
    }
    d.services.push_back(std::move(service));
  }
}

void FakeBluez::Impl::removeServices(Device& d) {
  for (auto& service : d.services) {
    for (auto& c : service->characteristics) {
      unexport(*c->object);
      retire(std::move(c));
    }
    unexport(*service->object);
    retire(std::move(service));
  }
  d.services.clear();
}

void FakeBluez::Impl::disconnectDevice(const std::string& address) {
  auto* d = device(address);
  if (!d || !d->connected) {
    return;
  }
  d->servicesResolved = false;
  d->connected = false;
  emit(d->object.get(), kDevice, {"ServicesResolved", "Connected"});
  removeServices(*d);
}

void FakeBluez::Impl::writeValue(const std::string& address, const std::string& uuid, sdbus::MethodCall& call) {
  Bytes value;
  std::map<std::string, sdbus::Variant> options;
  call >> value >> options;
  std::string type;
  if (auto it = options.find("type"); it != options.end() && it->second.containsValueOfType<std::string>()) {
    type = it->second.get<std::string>();
  }
  writes.push_back({address, uuid, value, type});
  // Answered a little later, so a second write sent before this answer would overlap it.
  loop.after(std::chrono::milliseconds(2), [this, address, uuid, value, call]() mutable {
    --writesInFlight;
    auto* c = characteristic(address, uuid);
    if (!c) {
      return replyError(call, "org.bluez.Error.NotConnected", "Not Connected");
    }
    call.createReply().send();
    c->value = value;
    if (c->notifying) {
      emit(c->object.get(), kCharacteristic, {"Value"});
    }
  });
}

void FakeBluez::Impl::setNotifying(const std::string& address, const std::string& uuid, bool on, sdbus::MethodCall& call) {
  auto* c = characteristic(address, uuid);
  if (!c) {
    return replyError(call, "org.bluez.Error.NotConnected", "Not Connected");
  }
  call.createReply().send();
  if (c->notifying != on) {
    c->notifying = on;
    emit(c->object.get(), kCharacteristic, {"Notifying"});
  }
}

}  // namespace kestrom::testing

#include "tests/support/bluez/FakeBluez.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <list>
#include <set>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/bluetooth/BusLoop.h"

namespace kestrom::testing {

using bluetooth::BusLoop;

namespace {

constexpr const char* kAdapterPath = "/org/bluez/hci0";
constexpr const char* kAdapter = "org.bluez.Adapter1";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
constexpr const char* kProfileManager = "org.bluez.ProfileManager1";
constexpr const char* kProfile = "org.bluez.Profile1";

std::string devicePathOf(const std::string& address) {
  std::string path = std::string(kAdapterPath) + "/dev_" + address;
  std::replace(path.begin(), path.end(), ':', '_');
  return path;
}

template <class Get>
void property(sdbus::IObject& object, const char* interface, const char* name, const char* signature, Get get) {
  object.registerProperty(interface, name, signature, [get](sdbus::PropertyGetReply& reply) { reply << get(); });
}

void replyError(const sdbus::MethodCall& call, const std::string& name, const std::string& message) {
  call.createErrorReply(sdbus::Error(name, message)).send();
}

}  // namespace

class FakeBluez::Impl {
 public:
  struct Characteristic {
    std::string path;
    FakeCharacteristic info;
    bool notifying = false;
    Bytes value;
    std::unique_ptr<sdbus::IObject> object;
  };
  struct Service {
    std::string path;
    std::string uuid;
    std::unique_ptr<sdbus::IObject> object;
    std::vector<std::unique_ptr<Characteristic>> characteristics;
  };
  struct Device {
    FakeDevice info;
    std::string path;
    bool connected = false;
    bool servicesResolved = false;
    std::unique_ptr<sdbus::IObject> object;
    std::vector<std::unique_ptr<Service>> services;
  };
  struct Profile {
    std::string owner;
    std::string path;
    std::string uuid;
  };
  struct Stalled {
    sdbus::MethodCall call;
    std::function<void(sdbus::MethodCall&)> work;
  };

  Impl() : loop("FakeBluez", sdbus::createSystemBusConnection("org.bluez"), log::Logger("Kestrom", "FakeBluez")) {
    auto& bus = *loop.connection();
    root = sdbus::createObject(bus, "/");
    root->addObjectManager();
    exportProfileManager();
    exportAdapter();
    loop.start();
  }

  ~Impl() {
    loop.stop();
    // Children before parents, the loop's connection last (it is a member declared first).
    devices.clear();
    adapter.reset();
    profileManager.reset();
    outgoing.clear();
    stalled.clear();
    root.reset();
  }

  BusLoop loop;
  std::unique_ptr<sdbus::IObject> root;
  std::unique_ptr<sdbus::IObject> profileManager;
  std::unique_ptr<sdbus::IObject> adapter;
  bool powered = true;
  std::set<std::string> discoveringClients;
  std::map<std::string, FakeDiscoveryFilter> filters;  // by bus client
  std::optional<FakeDiscoveryFilter> lastFilter;
  std::map<std::string, FakeDevice> known;                // every advertised device, by address
  std::map<std::string, std::unique_ptr<Device>> devices;  // exported ones, by address
  std::vector<Profile> profiles;
  std::list<std::unique_ptr<sdbus::IProxy>> outgoing;  // calls made to clients' profiles
  std::map<std::string, OwnedFd> sockets;
  std::map<std::string, std::string> failures;
  std::set<std::string> stalling;
  std::map<std::string, std::deque<Stalled>> stalled;
  std::map<std::string, int> callCounts;
  std::vector<RecordedWrite> writes;
  int writesInFlight = 0;
  int maxWritesInFlight = 0;
  std::chrono::milliseconds temporaryTimeout{30'000};
  std::uint64_t discoveryRound = 0;  // a discovery started since the removal was scheduled keeps the devices
  std::set<std::string> dropped;     // advertising still, but no longer in the tree

  /// Fails, stalls or (later, never inline) runs the work of one incoming call.
  void handle(const std::string& method, sdbus::MethodCall call, std::function<void(sdbus::MethodCall&)> work) {
    ++callCounts[method];
    if (auto failure = failures.find(method); failure != failures.end()) {
      std::string name = failure->second;
      failures.erase(failure);
      if (method == "WriteValue") {
        --writesInFlight;
      }
      replyError(call, name, method + " failed as the test asked");
      return;
    }
    if (stalling.count(method)) {
      stalled[method].push_back({std::move(call), std::move(work)});
      return;
    }
    loop.post([call = std::move(call), work = std::move(work)]() mutable { work(call); });
  }

  template <class F>
  void method(sdbus::IObject& object, const char* interface, const char* name, const char* in, const char* out, F work) {
    object.registerMethod(interface, name, in, out, [this, name = std::string(name), work](sdbus::MethodCall call) {
      handle(name, std::move(call), work);
    });
  }

  void emit(sdbus::IObject* object, const char* interface, std::vector<std::string> names) {
    if (object) {
      object->emitPropertiesChangedSignal(interface, names);
    }
  }

  /// Takes an object off the bus at once (its path is free again), after telling the clients.
  void unexport(sdbus::IObject& object) {
    object.emitInterfacesRemovedSignal();
    object.unregister();
  }

  /// Objects die on a later turn of the loop, never inside one of their own handlers.
  template <class T>
  void retire(std::unique_ptr<T> thing) {
    auto shared = std::shared_ptr<T>(std::move(thing));
    loop.post([shared] {});
  }

  void exportProfileManager() {
    profileManager = sdbus::createObject(*loop.connection(), "/org/bluez");
    method(*profileManager, kProfileManager, "RegisterProfile", "osa{sv}", "", [this](sdbus::MethodCall& call) {
      sdbus::ObjectPath path;
      std::string uuid;
      std::map<std::string, sdbus::Variant> options;
      call >> path >> uuid >> options;
      for (const auto& p : profiles) {
        if (p.owner == call.getSender() && p.uuid == uuid) {
          return replyError(call, "org.bluez.Error.AlreadyExists", "UUID already registered");
        }
      }
      profiles.push_back({call.getSender(), path, uuid});
      call.createReply().send();
    });
    method(*profileManager, kProfileManager, "UnregisterProfile", "o", "", [this](sdbus::MethodCall& call) {
      sdbus::ObjectPath path;
      call >> path;
      auto sender = call.getSender();
      std::erase_if(profiles, [&](const Profile& p) { return p.owner == sender && p.path == path; });
      call.createReply().send();
    });
    profileManager->finishRegistration();
  }

  void exportAdapter() {
    adapter = sdbus::createObject(*loop.connection(), kAdapterPath);
    property(*adapter, kAdapter, "Address", "s", [] { return std::string(FakeBluez::kAdapterAddress); });
    property(*adapter, kAdapter, "Powered", "b", [this] { return powered; });
    property(*adapter, kAdapter, "Discovering", "b", [this] { return !discoveringClients.empty(); });
    method(*adapter, kAdapter, "SetDiscoveryFilter", "a{sv}", "", [this](sdbus::MethodCall& call) {
      std::map<std::string, sdbus::Variant> dict;
      call >> dict;
      FakeDiscoveryFilter filter;
      if (auto it = dict.find("UUIDs"); it != dict.end()) {
        filter.uuids = it->second.get<std::vector<std::string>>();
      }
      if (auto it = dict.find("Transport"); it != dict.end()) {
        filter.transport = it->second.get<std::string>();
      }
      if (auto it = dict.find("Pattern"); it != dict.end()) {
        filter.pattern = it->second.get<std::string>();
      }
      filters[call.getSender()] = filter;
      lastFilter = filter;
      call.createReply().send();
      if (discoveringClients.count(call.getSender())) {
        exportDropped();
      }
    });
    method(*adapter, kAdapter, "StartDiscovery", "", "", [this](sdbus::MethodCall& call) {
      if (!powered || !adapter) {
        return replyError(call, "org.bluez.Error.NotReady", "Resource Not Ready");
      }
      if (!discoveringClients.insert(call.getSender()).second) {
        return replyError(call, "org.bluez.Error.InProgress", "Operation already in progress");
      }
      call.createReply().send();
      ++discoveryRound;
      if (discoveringClients.size() == 1) {
        emit(adapter.get(), kAdapter, {"Discovering"});
      }
      exportDropped();
    });
    method(*adapter, kAdapter, "StopDiscovery", "", "", [this](sdbus::MethodCall& call) {
      if (discoveringClients.erase(call.getSender()) == 0) {
        return replyError(call, "org.bluez.Error.Failed", "No discovery started");
      }
      call.createReply().send();
      if (discoveringClients.empty()) {
        emit(adapter.get(), kAdapter, {"Discovering"});
        scheduleTemporaryRemoval();
      }
    });
    adapter->finishRegistration();
  }

  /// Unpaired, unconnected devices leave the tree a while after the last discovery stops, unless
  /// a discovery starts again before that.
  void scheduleTemporaryRemoval() {
    const std::uint64_t round = discoveryRound;
    loop.after(temporaryTimeout, [this, round] {
      if (round != discoveryRound || !discoveringClients.empty()) {
        return;
      }
      std::vector<std::string> drop;
      for (const auto& [address, d] : devices) {
        if (!d->info.paired && !d->connected) {
          drop.push_back(address);
        }
      }
      for (const auto& address : drop) {
        FakeDevice info = known.at(address);
        removeDevice(address);
        known[address] = info;  // still in range, still advertising
        dropped.insert(address);
      }
    });
  }

  /// Devices dropped from the tree that still advertise are found again by a discovery that takes them.
  void exportDropped() {
    std::vector<std::string> back;
    for (const auto& address : dropped) {
      auto it = known.find(address);
      if (it != known.end() && !device(address) && powered && adapter && filterTakes(it->second)) {
        back.push_back(address);
      }
    }
    for (const auto& address : back) {
      dropped.erase(address);
      exportDevice(known.at(address));
    }
  }

  bool filterTakes(const FakeDevice& device) const {
    for (const auto& client : discoveringClients) {
      auto it = filters.find(client);
      FakeDiscoveryFilter filter = it == filters.end() ? FakeDiscoveryFilter{} : it->second;
      if ((filter.transport == "le" && !device.lowEnergy) || (filter.transport == "bredr" && device.lowEnergy)) {
        continue;
      }
      if (!filter.pattern.empty() && device.address.rfind(filter.pattern, 0) != 0 &&
          device.name.value_or("").rfind(filter.pattern, 0) != 0) {
        continue;
      }
      if (filter.uuids.empty()) {
        return true;
      }
      for (const auto& uuid : filter.uuids) {
        if (std::find(device.uuids.begin(), device.uuids.end(), uuid) != device.uuids.end()) {
          return true;
        }
      }
    }
    return false;
  }

  Device* device(const std::string& address) {
    auto it = devices.find(address);
    return it == devices.end() ? nullptr : it->second.get();
  }

  Characteristic* characteristic(const std::string& address, const std::string& uuid) {
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

  bool advertise(const FakeDevice& info) {
    known[info.address] = info;
    if (auto* d = device(info.address)) {
      d->info.rssi = info.rssi;
      d->info.manufacturerData = info.manufacturerData;
      std::vector<std::string> changed{"RSSI", "ManufacturerData"};
      if (info.name && d->info.name) {
        d->info.name = info.name;
        changed.push_back("Name");
      }
      emit(d->object.get(), kDevice, changed);
      return true;
    }
    if (!adapter || !powered || !filterTakes(info)) {
      return false;
    }
    dropped.erase(info.address);
    exportDevice(info);
    return true;
  }

  void exportDevice(const FakeDevice& info) {
    auto owned = std::make_unique<Device>();
    Device* d = owned.get();
    d->info = info;
    d->path = devicePathOf(info.address);
    d->object = sdbus::createObject(*loop.connection(), d->path);
    auto& o = *d->object;
    property(o, kDevice, "Address", "s", [d] { return d->info.address; });
    property(o, kDevice, "AddressType", "s", [d] { return d->info.addressType; });
    property(o, kDevice, "Paired", "b", [d] { return d->info.paired; });
    property(o, kDevice, "Adapter", "o", [] { return sdbus::ObjectPath(kAdapterPath); });
    if (info.name) {
      property(o, kDevice, "Name", "s", [d] { return d->info.name.value_or(""); });
    }
    if (info.deviceClass) {
      property(o, kDevice, "Class", "u", [d] { return d->info.deviceClass.value_or(0); });
    }
    property(o, kDevice, "RSSI", "n", [d] { return d->info.rssi; });
    property(o, kDevice, "ManufacturerData", "a{qv}", [d] {
      std::map<std::uint16_t, sdbus::Variant> data;
      for (const auto& [company, payload] : d->info.manufacturerData) {
        data[company] = sdbus::Variant(payload);
      }
      return data;
    });
    property(o, kDevice, "UUIDs", "as", [d] { return d->info.uuids; });
    property(o, kDevice, "Connected", "b", [d] { return d->connected; });
    property(o, kDevice, "ServicesResolved", "b", [d] { return d->servicesResolved; });
    std::string address = info.address;
    method(o, kDevice, "Connect", "", "", [this, address](sdbus::MethodCall& call) { connectDevice(address, call); });
    method(o, kDevice, "Disconnect", "", "", [this, address](sdbus::MethodCall& call) {
      disconnectDevice(address);
      call.createReply().send();
    });
    method(o, kDevice, "ConnectProfile", "s", "", [this, address](sdbus::MethodCall& call) { connectProfile(address, call); });
    method(o, kDevice, "DisconnectProfile", "s", "", [this, address](sdbus::MethodCall& call) {
      disconnectProfile(address, call);
    });
    o.finishRegistration();
    devices[info.address] = std::move(owned);
    o.emitInterfacesAddedSignal();
  }

  void connectDevice(const std::string& address, sdbus::MethodCall& call) {
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

  void exportServices(Device& d) {
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

  void removeServices(Device& d) {
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

  void disconnectDevice(const std::string& address) {
    auto* d = device(address);
    if (!d || !d->connected) {
      return;
    }
    d->servicesResolved = false;
    d->connected = false;
    emit(d->object.get(), kDevice, {"ServicesResolved", "Connected"});
    removeServices(*d);
  }

  void removeDevice(const std::string& address) {
    known.erase(address);
    dropped.erase(address);
    auto it = devices.find(address);
    if (it == devices.end()) {
      return;
    }
    removeServices(*it->second);
    unexport(*it->second->object);
    retire(std::move(it->second));
    devices.erase(it);
  }

  void writeValue(const std::string& address, const std::string& uuid, sdbus::MethodCall& call) {
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

  void setNotifying(const std::string& address, const std::string& uuid, bool on, sdbus::MethodCall& call) {
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

  void connectProfile(const std::string& address, sdbus::MethodCall& call) {
    std::string uuid;
    call >> uuid;
    auto* d = device(address);
    auto profile = std::find_if(profiles.begin(), profiles.end(), [&](const Profile& p) { return p.uuid == uuid; });
    // An LE-only device has no BR/EDR profiles to connect.
    if (!d || !powered || profile == profiles.end() || d->info.lowEnergy) {
      return replyError(call, "org.bluez.Error.NotAvailable", "Operation currently not available");
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
      return replyError(call, "org.bluez.Error.Failed", "socketpair failed");
    }
    sockets[address] = OwnedFd(pair[0]);
    if (!d->connected) {
      d->connected = true;
      emit(d->object.get(), kDevice, {"Connected"});
    }
    auto& proxy = outgoing.emplace_back(sdbus::createProxy(*loop.connection(), profile->owner, profile->path));
    auto message = proxy->createMethodCall(kProfile, "NewConnection");
    // Adopted: our copy closes once the message holds its own, so the test sees the far end close.
    message << sdbus::ObjectPath(d->path) << sdbus::UnixFd(pair[1], sdbus::adopt_fd)
            << std::map<std::string, sdbus::Variant>{};
    proxy->callMethod(message, [call](sdbus::MethodReply&, const sdbus::Error* error) {
      if (error) {
        replyError(call, "org.bluez.Error.Failed", error->getName());
      } else {
        call.createReply().send();
      }
    });
  }

  void disconnectProfile(const std::string& address, sdbus::MethodCall& call) {
    std::string uuid;
    call >> uuid;
    auto profile = std::find_if(profiles.begin(), profiles.end(), [&](const Profile& p) { return p.uuid == uuid; });
    if (profile != profiles.end()) {
      auto& proxy = outgoing.emplace_back(sdbus::createProxy(*loop.connection(), profile->owner, profile->path));
      auto message = proxy->createMethodCall(kProfile, "RequestDisconnection");
      message << sdbus::ObjectPath(devicePathOf(address));
      proxy->callMethod(message, [](sdbus::MethodReply&, const sdbus::Error*) {});
    }
    sockets.erase(address);
    if (auto* d = device(address); d && d->connected && !d->info.lowEnergy) {
      d->connected = false;
      emit(d->object.get(), kDevice, {"Connected"});
    }
    call.createReply().send();
  }

  void setPowered(bool on) {
    if (powered == on) {
      return;
    }
    if (!on) {
      if (!discoveringClients.empty()) {
        discoveringClients.clear();
        emit(adapter.get(), kAdapter, {"Discovering"});
      }
      for (auto& [address, d] : devices) {
        disconnectDevice(address);
      }
    }
    powered = on;
    emit(adapter.get(), kAdapter, {"Powered"});
  }

  void removeAdapter() {
    if (!adapter) {
      return;
    }
    std::vector<std::string> addresses;
    for (const auto& [address, d] : devices) {
      addresses.push_back(address);
    }
    for (const auto& address : addresses) {
      removeDevice(address);
    }
    discoveringClients.clear();
    unexport(*adapter);
    retire(std::move(adapter));
  }

  void addAdapter() {
    if (adapter) {
      return;
    }
    exportAdapter();
    adapter->emitInterfacesAddedSignal();
  }
};

FakeBluez::FakeBluez() : impl_(std::make_unique<Impl>()) {}
FakeBluez::~FakeBluez() = default;

void FakeBluez::setPowered(bool powered) {
  impl_->loop.sync([&] { impl_->setPowered(powered); });
}
void FakeBluez::removeAdapter() {
  impl_->loop.sync([&] { impl_->removeAdapter(); });
}
void FakeBluez::addAdapter() {
  impl_->loop.sync([&] { impl_->addAdapter(); });
}
bool FakeBluez::advertise(const FakeDevice& device) {
  bool shown = false;
  impl_->loop.sync([&] { shown = impl_->advertise(device); });
  return shown;
}
void FakeBluez::removeDevice(const std::string& address) {
  impl_->loop.sync([&] { impl_->removeDevice(address); });
}
void FakeBluez::setTemporaryTimeout(std::chrono::milliseconds timeout) {
  impl_->loop.sync([&] { impl_->temporaryTimeout = timeout; });
}
bool FakeBluez::listed(const std::string& address) const {
  bool on = false;
  impl_->loop.sync([&] { on = impl_->device(address) != nullptr; });
  return on;
}
void FakeBluez::notify(const std::string& address, const std::string& characteristic, const Bytes& value) {
  impl_->loop.sync([&] {
    if (auto* c = impl_->characteristic(address, characteristic)) {
      c->value = value;
      if (c->notifying) {
        impl_->emit(c->object.get(), kCharacteristic, {"Value"});
      }
    }
  });
}
void FakeBluez::failNext(const std::string& method, const std::string& errorName) {
  impl_->loop.sync([&] { impl_->failures[method] = errorName; });
}
void FakeBluez::stall(const std::string& method) {
  impl_->loop.sync([&] { impl_->stalling.insert(method); });
}
void FakeBluez::release(const std::string& method) {
  impl_->loop.sync([&] {
    impl_->stalling.erase(method);
    auto calls = std::move(impl_->stalled[method]);
    impl_->stalled.erase(method);
    for (auto& s : calls) {
      s.work(s.call);
    }
  });
}
int FakeBluez::calls(const std::string& method) const {
  int n = 0;
  impl_->loop.sync([&] { n = impl_->callCounts[method]; });
  return n;
}
int FakeBluez::stalledCalls(const std::string& method) const {
  int n = 0;
  impl_->loop.sync([&] {
    auto it = impl_->stalled.find(method);
    n = it == impl_->stalled.end() ? 0 : static_cast<int>(it->second.size());
  });
  return n;
}
std::vector<RecordedWrite> FakeBluez::writes() const {
  std::vector<RecordedWrite> result;
  impl_->loop.sync([&] { result = impl_->writes; });
  return result;
}
int FakeBluez::maxWritesInFlight() const {
  int n = 0;
  impl_->loop.sync([&] { n = impl_->maxWritesInFlight; });
  return n;
}
std::optional<FakeDiscoveryFilter> FakeBluez::lastDiscoveryFilter() const {
  std::optional<FakeDiscoveryFilter> result;
  impl_->loop.sync([&] { result = impl_->lastFilter; });
  return result;
}
bool FakeBluez::discovering() const {
  bool on = false;
  impl_->loop.sync([&] { on = !impl_->discoveringClients.empty(); });
  return on;
}
bool FakeBluez::notifying(const std::string& address, const std::string& characteristic) const {
  bool on = false;
  impl_->loop.sync([&] {
    auto* c = impl_->characteristic(address, characteristic);
    on = c && c->notifying;
  });
  return on;
}
bool FakeBluez::connected(const std::string& address) const {
  bool on = false;
  impl_->loop.sync([&] {
    auto* d = impl_->device(address);
    on = d && d->connected;
  });
  return on;
}
int FakeBluez::registeredProfiles() const {
  int n = 0;
  impl_->loop.sync([&] { n = static_cast<int>(impl_->profiles.size()); });
  return n;
}
OwnedFd FakeBluez::takeSocket(const std::string& address) {
  OwnedFd fd;
  impl_->loop.sync([&] {
    auto it = impl_->sockets.find(address);
    if (it != impl_->sockets.end()) {
      fd = std::move(it->second);
      impl_->sockets.erase(it);
    }
  });
  return fd;
}

}  // namespace kestrom::testing

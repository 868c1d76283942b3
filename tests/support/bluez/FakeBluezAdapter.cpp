// The fake service's adapter: power, discovery and its filters, and the tree of devices found.

#include "tests/support/bluez/FakeBluezImpl.h"

namespace kestrom::testing {

using namespace fake_bluez;

void FakeBluez::Impl::exportAdapter() {
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

void FakeBluez::Impl::setPowered(bool on) {
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

void FakeBluez::Impl::removeAdapter() {
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

void FakeBluez::Impl::addAdapter() {
  if (adapter) {
    return;
  }
  exportAdapter();
  adapter->emitInterfacesAddedSignal();
}

void FakeBluez::Impl::scheduleTemporaryRemoval() {
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

void FakeBluez::Impl::exportDropped() {
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

bool FakeBluez::Impl::filterTakes(const FakeDevice& device) const {
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

FakeBluez::Impl::Device* FakeBluez::Impl::device(const std::string& address) {
  auto it = devices.find(address);
  return it == devices.end() ? nullptr : it->second.get();
}

bool FakeBluez::Impl::advertise(const FakeDevice& info) {
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

void FakeBluez::Impl::exportDevice(const FakeDevice& info) {
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

void FakeBluez::Impl::removeDevice(const std::string& address) {
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

}  // namespace kestrom::testing

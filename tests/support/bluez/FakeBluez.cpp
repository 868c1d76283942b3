#include "tests/support/bluez/FakeBluez.h"

#include <sys/socket.h>

#include "tests/support/bluez/FakeBluezImpl.h"

namespace kestrom::testing {

using namespace fake_bluez;

FakeBluez::Impl::Impl() : loop("FakeBluez", sdbus::createSystemBusConnection("org.bluez"), log::Logger("Kestrom", "FakeBluez")) {
  auto& bus = *loop.connection();
  root = sdbus::createObject(bus, "/");
  root->addObjectManager();
  exportProfileManager();
  exportAdapter();
  loop.start();
}

FakeBluez::Impl::~Impl() {
  loop.stop();
  // Children before parents, the loop's connection last (it is a member declared first).
  devices.clear();
  adapter.reset();
  profileManager.reset();
  outgoing.clear();
  stalled.clear();
  root.reset();
}

void FakeBluez::Impl::handle(const std::string& method, sdbus::MethodCall call, std::function<void(sdbus::MethodCall&)> work) {
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

void FakeBluez::Impl::emit(sdbus::IObject* object, const char* interface, std::vector<std::string> names) {
  if (object) {
    object->emitPropertiesChangedSignal(interface, names);
  }
}

void FakeBluez::Impl::unexport(sdbus::IObject& object) {
  object.emitInterfacesRemovedSignal();
  object.unregister();
}

void FakeBluez::Impl::exportProfileManager() {
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

void FakeBluez::Impl::connectProfile(const std::string& address, sdbus::MethodCall& call) {
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

void FakeBluez::Impl::disconnectProfile(const std::string& address, sdbus::MethodCall& call) {
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

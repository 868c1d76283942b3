#include "platform/bluetooth/BlueZClassicBluetooth.h"

#include <algorithm>
#include <set>

#include "platform/bluetooth/BlueZClient.h"
#include "platform/bluetooth/BlueZDiscovery.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom::bluetooth {

using namespace bluez;
using Kind = BluetoothError::Kind;

namespace {
void ignoreReply(sdbus::MethodReply&, std::optional<BluetoothError>) {}
}  // namespace

/// Lives on the loop thread, except the observer slot and the adapter-state snapshot.
class BlueZClassicBluetooth::Impl final : public BlueZClient<ClassicBluetoothObserver> {
 public:
  explicit Impl(Options options) : BlueZClient("BlueZClassicBluetooth", options.log), options_(std::move(options)) {
    start([this] { exportProfile(); });
  }

  ~Impl() override {
    loop_.stop();  // before the members its handlers use go away
  }

  void startDiscovery();
  void stopDiscovery();
  void connect(const std::string& address);
  void disconnect(const std::string& address);

 private:
  struct Attempt {
    std::uint64_t serial = 0;
    BusLoop::TimerId timer = 0;
    sdbus::PendingAsyncCall call;
    bool seeking = false;  // the device is not listed now: discovery looks for it
    bool started = false;  // ConnectProfile went out for the device as listed now
  };
  enum class ProfileState { unregistered, registering, registered };

  // BlueZObjects::Listener
  void treeReloaded() override;
  void interfacesAdded(const std::string& path, const InterfaceMap& added) override;
  void propertiesChanged(const std::string& path, const std::string& interface,
                         const PropertyMap& changed) override;
  void interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces) override;

  // Profile1, called by the Bluetooth service.
  void exportProfile();
  void onNewConnection(sdbus::MethodCall call);
  void onRequestDisconnection(sdbus::MethodCall call);
  void onRelease(sdbus::MethodCall call);

  void updateAdapter();
  void reportDevice(const std::string& path);
  std::optional<std::string> addressOf(const std::string& path) const;
  std::optional<std::string> devicePath(const std::string& address) const;
  void registerProfile(std::function<void(std::optional<BluetoothError>)> then);
  void startAttempt(const std::string& address, std::uint64_t serial);
  void failAttempt(const std::string& address, const BluetoothError& error);
  void endLink(const std::string& address);
  /// Whether the listed device is a BR/EDR one, as an inquiry finds it.
  bool isClassic(const std::string& path) const;
  /// The discovery this layer wants now: the transport's search, or a look for devices the
  /// service has forgotten that a connection attempt waits for.
  void updateDiscovery();

  Options options_;
  BlueZDiscovery discovery_{objects_, [this](const BluetoothError& error) {
                              options_.log.error("BlueZClassicBluetooth: discovery failed: %s", error.message);
                              searching_ = false;
                              report([&](ClassicBluetoothObserver& o) { o.discoveryStopped(error); });
                            }};
  std::unique_ptr<sdbus::IObject> profile_;

  std::optional<std::string> adapterPath_;
  ProfileState profileState_ = ProfileState::unregistered;
  std::vector<std::function<void(std::optional<BluetoothError>)>> profileWaiters_;
  std::map<std::string, Attempt> attempts_;  // by address
  std::set<std::string> links_;              // addresses whose socket was handed over
  std::set<std::string> seen_;               // every BR/EDR device ever listed
  bool searching_ = false;                   // between startDiscovery and stopDiscovery
  std::uint64_t nextSerial_ = 1;
};

// ---- tree events

void BlueZClassicBluetooth::Impl::treeReloaded() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  updateAdapter();
  std::vector<std::string> gone;
  for (const auto& address : links_) {
    if (!devicePath(address)) {
      gone.push_back(address);
    }
  }
  for (const auto& address : gone) {
    endLink(address);
  }
  if (objects_.objects().empty()) {
    profileState_ = ProfileState::unregistered;  // the service left and took our profile along
  }
}

void BlueZClassicBluetooth::Impl::interfacesAdded(const std::string& path, const InterfaceMap& added) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  if (added.count(kAdapter)) {
    updateAdapter();
  }
  if (added.count(kDevice)) {
    if (searching_) {
      reportDevice(path);
    }
    auto address = addressOf(path);
    auto attempt = address ? attempts_.find(*address) : attempts_.end();
    if (attempt != attempts_.end() && attempt->second.seeking && isClassic(path)) {
      // Back in the list: the attempt goes on.
      attempt->second.seeking = false;
      updateDiscovery();
      startAttempt(*address, attempt->second.serial);
    }
  }
}

void BlueZClassicBluetooth::Impl::propertiesChanged(const std::string& path, const std::string& interface,
                                                    const PropertyMap& changed) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  if (interface == kAdapter && path == adapterPath_) {
    updateAdapter();
  } else if (interface == kDevice && searching_ &&
             (changed.count("Name") || changed.count("Class") || changed.count("RSSI"))) {
    reportDevice(path);
  }
}

void BlueZClassicBluetooth::Impl::interfacesRemoved(const std::string& /*path*/,
                                                    const std::vector<std::string>& interfaces) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  for (const auto& interface : interfaces) {
    if (interface == kAdapter) {
      updateAdapter();
    }
  }
  // The device is gone from the tree: find its address among ours by what is left.
  std::vector<std::string> ended;
  for (const auto& address : links_) {
    if (!devicePath(address)) {
      ended.push_back(address);
    }
  }
  for (const auto& address : ended) {
    endLink(address);
  }
  std::vector<std::string> failed;
  bool seek = false;
  for (auto& [address, attempt] : attempts_) {
    if (attempt.seeking || devicePath(address)) {
      continue;
    }
    if (seen_.count(address)) {
      // Forgotten while the attempt was under way: it looks for the device instead.
      objects_.cancelLater(attempt.call);
      attempt.seeking = true;
      attempt.started = false;
      seek = true;
    } else {
      failed.push_back(address);
    }
  }
  if (seek) {
    updateDiscovery();
  }
  for (const auto& address : failed) {
    failAttempt(address, {Kind::notFound, "device " + address + " vanished"});
  }
}

void BlueZClassicBluetooth::Impl::updateAdapter() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  adapterPath_ = objects_.adapterPath();
  auto state = updateAdapterState();
  if (!state || *state == AdapterState::poweredOn) {
    return;
  }
  BluetoothError off = adapterUnavailable(*state);
  std::vector<std::string> addresses;
  for (const auto& [address, attempt] : attempts_) {
    addresses.push_back(address);
  }
  for (const auto& address : addresses) {
    failAttempt(address, off);
  }
  addresses.assign(links_.begin(), links_.end());
  for (const auto& address : addresses) {
    endLink(address);
  }
  const bool wasSearching = std::exchange(searching_, false);
  if (discovery_.end() && wasSearching) {
    report([&](ClassicBluetoothObserver& o) { o.discoveryStopped(off); });
  }
}

bool BlueZClassicBluetooth::Impl::isClassic(const std::string& path) const {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  // An inquiry result has a class of device; an LE-only device has none, and a random address
  // is LE's alone. BlueZ lists both kinds in one tree, whichever client's discovery found them.
  const auto* device = objects_.find(path, kDevice);
  return device && valueOf<std::uint32_t>(*device, "Class") &&
         valueOf<std::string>(*device, "AddressType").value_or("public") != "random";
}

void BlueZClassicBluetooth::Impl::updateDiscovery() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  const bool seeking = std::any_of(attempts_.begin(), attempts_.end(),
                                   [](const auto& entry) { return entry.second.seeking; });
  if (!searching_ && !seeking) {
    discovery_.stop();
    return;
  }
  if (adapterPath_ && adapterState_ == AdapterState::poweredOn) {
    discovery_.start(*adapterPath_, {.transport = "bredr"});
  }
}

std::optional<std::string> BlueZClassicBluetooth::Impl::addressOf(const std::string& path) const {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto* device = objects_.find(path, kDevice);
  if (!device || !adapterPath_ || path.rfind(*adapterPath_ + "/", 0) != 0) {
    return std::nullopt;
  }
  return valueOf<std::string>(*device, "Address");
}

std::optional<std::string> BlueZClassicBluetooth::Impl::devicePath(const std::string& address) const {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  for (const auto& [path, interfaces] : objects_.objects()) {
    if (interfaces.count(kDevice) && addressOf(path) == address) {
      return path;
    }
  }
  return std::nullopt;
}

void BlueZClassicBluetooth::Impl::reportDevice(const std::string& path) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto address = addressOf(path);
  if (!address || !isClassic(path)) {
    return;
  }
  seen_.insert(*address);
  const auto& device = *objects_.find(path, kDevice);
  ClassicDevice found{*address, valueOf<std::string>(device, "Name"), valueOf<std::uint32_t>(device, "Class")};
  report([&](ClassicBluetoothObserver& o) { o.deviceFound(found); });
}

// ---- discovery

void BlueZClassicBluetooth::Impl::startDiscovery() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  if (adapterState_ != AdapterState::poweredOn) {
    BluetoothError error = adapterUnavailable(adapterState_);
    report([&](ClassicBluetoothObserver& o) { o.discoveryStopped(error); });
    return;
  }
  if (searching_) {
    return;
  }
  searching_ = true;
  updateDiscovery();
}

void BlueZClassicBluetooth::Impl::stopDiscovery() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  searching_ = false;
  updateDiscovery();
}

// ---- the serial port profile

void BlueZClassicBluetooth::Impl::exportProfile() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto* bus = loop_.connection();
  if (bus == nullptr) {
    return;
  }
  try {
    profile_ = sdbus::createObject(*bus, options_.profilePath);
    // No parameter names: they would have to be given on both sides to register.
    profile_->registerMethod(kProfile, "Release", "", "", [this](sdbus::MethodCall c) { onRelease(std::move(c)); });
    profile_->registerMethod(kProfile, "NewConnection", "oha{sv}", "",
                             [this](sdbus::MethodCall c) { onNewConnection(std::move(c)); });
    profile_->registerMethod(kProfile, "RequestDisconnection", "o", "",
                             [this](sdbus::MethodCall c) { onRequestDisconnection(std::move(c)); });
    profile_->finishRegistration();
  } catch (const sdbus::Error& e) {
    options_.log.error("BlueZClassicBluetooth: cannot export the serial port profile: %s", e.getMessage());
    profile_.reset();
  }
}

void BlueZClassicBluetooth::Impl::registerProfile(std::function<void(std::optional<BluetoothError>)> then) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  if (profileState_ == ProfileState::registered) {
    return then(std::nullopt);
  }
  profileWaiters_.push_back(std::move(then));
  if (profileState_ == ProfileState::registering) {
    return;
  }
  profileState_ = ProfileState::registering;
  std::map<std::string, sdbus::Variant> options{{"Name", sdbus::Variant(std::string("Serial Port"))},
                                                 {"Role", sdbus::Variant(std::string("client"))}};
  objects_.call("/org/bluez", kProfileManager, "RegisterProfile",
                [&](sdbus::MethodCall& m) {
                  m << sdbus::ObjectPath(options_.profilePath) << std::string(kSerialPortProfileUuid) << options;
                },
                [this](sdbus::MethodReply&, std::optional<BluetoothError> error) {
                  if (error && error->message.rfind("org.bluez.Error.AlreadyExists", 0) == 0) {
                    error.reset();
                  }
                  if (!profile_ && !error) {
                    error = BluetoothError{Kind::failed, "the serial port profile is not exported"};
                  }
                  profileState_ = error ? ProfileState::unregistered : ProfileState::registered;
                  if (error) {
                    options_.log.error("BlueZClassicBluetooth: cannot register the serial port profile: %s",
                                       error->message);
                  }
                  auto waiters = std::move(profileWaiters_);
                  profileWaiters_.clear();
                  for (auto& waiter : waiters) {
                    waiter(error);
                  }
                });
}

void BlueZClassicBluetooth::Impl::onNewConnection(sdbus::MethodCall call) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  sdbus::ObjectPath device;
  sdbus::UnixFd fd;
  std::map<std::string, sdbus::Variant> properties;
  try {
    call >> device >> fd >> properties;
  } catch (const sdbus::Error& e) {
    call.createErrorReply(sdbus::Error("org.bluez.Error.InvalidArguments", e.getMessage())).send();
    return;
  }
  auto address = addressOf(device);
  if (!address || !attempts_.count(*address)) {
    // Late (after a time-out or a disconnect) or unasked for: refused, the socket closes.
    options_.log.error("BlueZClassicBluetooth: refusing a serial link nobody waits for (%s)", std::string(device));
    call.createErrorReply(sdbus::Error("org.bluez.Error.Rejected", "no connection attempt for this device")).send();
    return;
  }
  auto attempt = std::move(attempts_.at(*address));
  attempts_.erase(*address);
  loop_.cancel(attempt.timer);
  objects_.cancelLater(attempt.call);
  links_.insert(*address);
  call.createReply().send();
  OwnedFd socket(fd.release());
  report([&](ClassicBluetoothObserver& o) { o.connected(*address, std::move(socket)); });
}

void BlueZClassicBluetooth::Impl::onRequestDisconnection(sdbus::MethodCall call) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  sdbus::ObjectPath device;
  try {
    call >> device;
  } catch (const sdbus::Error&) {
  }
  call.createReply().send();
  if (auto address = addressOf(device); address && links_.count(*address)) {
    endLink(*address);
  }
}

void BlueZClassicBluetooth::Impl::onRelease(sdbus::MethodCall call) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  profileState_ = ProfileState::unregistered;
  call.createReply().send();
}

// ---- connections

void BlueZClassicBluetooth::Impl::connect(const std::string& address) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  if (attempts_.count(address)) {
    return;  // the attempt under way answers this request too
  }
  std::optional<BluetoothError> error;
  if (adapterState_ != AdapterState::poweredOn) {
    error = adapterUnavailable(adapterState_);
  } else if (links_.count(address)) {
    error = BluetoothError{Kind::failed, address + " is already connected"};
  } else if (!devicePath(address) && !seen_.count(address)) {
    error = BluetoothError{Kind::notFound, "no device " + address};
  }
  if (error) {
    report([&](ClassicBluetoothObserver& o) { o.connectFailed(address, *error); });
    return;
  }
  auto serial = nextSerial_++;
  auto& attempt = attempts_[address];
  attempt.serial = serial;
  // The one time-out of this attempt; every outcome cancels it.
  attempt.timer = loop_.after(options_.connectTimeout, [this, address, serial] {
    auto it = attempts_.find(address);
    if (it == attempts_.end() || it->second.serial != serial) {
      return;
    }
    it->second.timer = 0;
    options_.log.error("BlueZClassicBluetooth: connection to %s timed out", address);
    failAttempt(address, {Kind::timedOut, "connecting to " + address + " timed out"});
  });
  registerProfile([this, address, serial](std::optional<BluetoothError> error) {
    auto it = attempts_.find(address);
    if (it == attempts_.end() || it->second.serial != serial) {
      return;
    }
    if (error) {
      return failAttempt(address, *error);
    }
    if (!it->second.started && !it->second.seeking) {
      startAttempt(address, serial);
    }
  });
}

void BlueZClassicBluetooth::Impl::startAttempt(const std::string& address, std::uint64_t serial) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto path = devicePath(address);
  if (!path && seen_.count(address)) {
    // Forgotten by the service since it was found: looked for again within this attempt's
    // time-out, and connected once it is back.
    options_.log.info("BlueZClassicBluetooth: looking for %s again before connecting", address);
    attempts_.at(address).seeking = true;
    updateDiscovery();
    return;
  }
  if (!path) {
    return failAttempt(address, {Kind::notFound, "no device " + address});
  }
  // Asynchronous: the socket comes to NewConnection on this same thread while the call is out.
  attempts_.at(address).started = true;
  attempts_.at(address).call = objects_.call(
      *path, kDevice, "ConnectProfile", [](sdbus::MethodCall& m) { m << std::string(kSerialPortProfileUuid); },
      [this, address, serial](sdbus::MethodReply&, std::optional<BluetoothError> error) {
        auto it = attempts_.find(address);
        if (error && it != attempts_.end() && it->second.serial == serial && !it->second.seeking) {
          options_.log.error("BlueZClassicBluetooth: connecting to %s failed: %s", address, error->message);
          failAttempt(address, *error);
        }
      },
      options_.connectTimeout + std::chrono::seconds(5));
}

void BlueZClassicBluetooth::Impl::failAttempt(const std::string& address, const BluetoothError& error) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto it = attempts_.find(address);
  if (it == attempts_.end()) {
    return;
  }
  loop_.cancel(it->second.timer);
  objects_.cancelLater(it->second.call);
  const bool seeking = it->second.seeking;
  attempts_.erase(it);
  if (seeking) {
    updateDiscovery();  // no longer looked for
  }
  report([&](ClassicBluetoothObserver& o) { o.connectFailed(address, error); });
}

void BlueZClassicBluetooth::Impl::endLink(const std::string& address) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  if (links_.erase(address) == 0) {
    return;
  }
  report([&](ClassicBluetoothObserver& o) { o.disconnected(address); });
}

void BlueZClassicBluetooth::Impl::disconnect(const std::string& address) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  if (attempts_.count(address)) {
    failAttempt(address, {Kind::cancelled, "disconnected from " + address});
  }
  bool linked = links_.erase(address) != 0;
  if (auto path = devicePath(address); path && linked) {
    objects_.call(*path, kDevice, "DisconnectProfile",
                  [](sdbus::MethodCall& m) { m << std::string(kSerialPortProfileUuid); }, ignoreReply);
  }
  report([&](ClassicBluetoothObserver& o) { o.disconnected(address); });
}

// ---- the public face: every operation hops to the loop thread

BlueZClassicBluetooth::BlueZClassicBluetooth(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}
BlueZClassicBluetooth::BlueZClassicBluetooth() : BlueZClassicBluetooth(Options{}) {}
BlueZClassicBluetooth::~BlueZClassicBluetooth() = default;

void BlueZClassicBluetooth::setObserver(std::weak_ptr<ClassicBluetoothObserver> observer) {
  impl_->setObserver(std::move(observer));
}
AdapterState BlueZClassicBluetooth::adapterState() const { return impl_->adapterState(); }
void BlueZClassicBluetooth::startDiscovery() {
  impl_->post([impl = impl_.get()] { impl->startDiscovery(); });
}
void BlueZClassicBluetooth::stopDiscovery() {
  impl_->post([impl = impl_.get()] { impl->stopDiscovery(); });
}
void BlueZClassicBluetooth::connect(const std::string& address) {
  impl_->post([impl = impl_.get(), address] { impl->connect(address); });
}
void BlueZClassicBluetooth::disconnect(const std::string& address) {
  impl_->post([impl = impl_.get(), address] { impl->disconnect(address); });
}

}  // namespace kestrom::bluetooth

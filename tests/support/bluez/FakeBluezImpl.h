#pragma once
// The fake Bluetooth service's state and handlers, all on its bus loop's thread. The object
// tree's core (call handling, the profile manager and serial-port profiles) is in FakeBluez.cpp;
// the adapter, discovery and the device tree in FakeBluezAdapter.cpp; a connected device's GATT
// services, writes and notifications in FakeBluezGatt.cpp.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/bluetooth/BusLoop.h"
#include "tests/support/bluez/FakeBluez.h"

namespace kestrom::testing {

namespace fake_bluez {

// The service's names spelled here once more, not taken from the host's BlueZ client: a name the
// host gets wrong must fail the tests, not be copied into the fake.
constexpr const char* kAdapterPath = "/org/bluez/hci0";
constexpr const char* kAdapter = "org.bluez.Adapter1";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
constexpr const char* kProfileManager = "org.bluez.ProfileManager1";
constexpr const char* kProfile = "org.bluez.Profile1";

inline std::string devicePathOf(const std::string& address) {
  std::string path = std::string(kAdapterPath) + "/dev_" + address;
  std::replace(path.begin(), path.end(), ':', '_');
  return path;
}

template <class Get>
void property(sdbus::IObject& object, const char* interface, const char* name, const char* signature, Get get) {
  object.registerProperty(interface, name, signature, [get](sdbus::PropertyGetReply& reply) { reply << get(); });
}

inline void replyError(const sdbus::MethodCall& call, const std::string& name, const std::string& message) {
  call.createErrorReply(sdbus::Error(name, message)).send();
}

}  // namespace fake_bluez

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

  Impl();
  ~Impl();

  bluetooth::BusLoop loop;
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

  // Calls and objects.
  /// Fails, stalls or (later, never inline) runs the work of one incoming call.
  void handle(const std::string& method, sdbus::MethodCall call, std::function<void(sdbus::MethodCall&)> work);
  template <class F>
  void method(sdbus::IObject& object, const char* interface, const char* name, const char* in, const char* out, F work) {
    object.registerMethod(interface, name, in, out, [this, name = std::string(name), work](sdbus::MethodCall call) {
      handle(name, std::move(call), work);
    });
  }
  void emit(sdbus::IObject* object, const char* interface, std::vector<std::string> names);
  /// Takes an object off the bus at once (its path is free again), after telling the clients.
  void unexport(sdbus::IObject& object);
  /// Objects die on a later turn of the loop, never inside one of their own handlers.
  template <class T>
  void retire(std::unique_ptr<T> thing) {
    auto shared = std::shared_ptr<T>(std::move(thing));
    loop.post([shared] {});
  }

  // Serial-port profiles.
  void exportProfileManager();
  void connectProfile(const std::string& address, sdbus::MethodCall& call);
  void disconnectProfile(const std::string& address, sdbus::MethodCall& call);

  // The adapter, discovery and the device tree.
  void exportAdapter();
  void setPowered(bool on);
  void removeAdapter();
  void addAdapter();
  /// Unpaired, unconnected devices leave the tree a while after the last discovery stops, unless
  /// a discovery starts again before that.
  void scheduleTemporaryRemoval();
  /// Devices dropped from the tree that still advertise are found again by a discovery that takes them.
  void exportDropped();
  bool filterTakes(const FakeDevice& device) const;
  Device* device(const std::string& address);
  bool advertise(const FakeDevice& info);
  void exportDevice(const FakeDevice& info);
  void removeDevice(const std::string& address);

  // A connected device's GATT services.
  Characteristic* characteristic(const std::string& address, const std::string& uuid);
  void connectDevice(const std::string& address, sdbus::MethodCall& call);
  void exportServices(Device& d);
  void removeServices(Device& d);
  void disconnectDevice(const std::string& address);
  void writeValue(const std::string& address, const std::string& uuid, sdbus::MethodCall& call);
  void setNotifying(const std::string& address, const std::string& uuid, bool on, sdbus::MethodCall& call);
};

}  // namespace kestrom::testing

#pragma once
// The Bluetooth service's (BlueZ) object tree as one client last saw it, kept up to date from its
// ObjectManager and PropertiesChanged signals, and the calls made on its objects. Lives on the
// client's BusLoop thread and is used only there.
//
// Signals are subscribed before the tree is read (GetManagedObjects), so no change made in
// between is lost; the tree read replaces what the signals built before it.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/bluetooth/BluetoothTypes.h"
#include "platform/bluetooth/BusLoop.h"

namespace kestrom::bluetooth::bluez {

inline constexpr const char* kService = "org.bluez";
inline constexpr const char* kAdapter = "org.bluez.Adapter1";
inline constexpr const char* kDevice = "org.bluez.Device1";
inline constexpr const char* kGattService = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristic = "org.bluez.GattCharacteristic1";
inline constexpr const char* kProfileManager = "org.bluez.ProfileManager1";
inline constexpr const char* kProfile = "org.bluez.Profile1";
inline constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
inline constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";

using PropertyMap = std::map<std::string, sdbus::Variant>;
using InterfaceMap = std::map<std::string, PropertyMap>;

/// The value of a property when it is there and of type T.
template <class T>
std::optional<T> valueOf(const PropertyMap& properties, const std::string& name) {
  auto it = properties.find(name);
  if (it == properties.end() || !it->second.containsValueOfType<T>()) {
    return std::nullopt;
  }
  return it->second.get<T>();
}

class BlueZObjects {
 public:
  class Listener {
   public:
    virtual ~Listener() = default;
    /// The tree was read anew: at start, when the service came back, or empty when it left.
    virtual void treeReloaded() = 0;
    /// After the interfaces were merged into the tree.
    virtual void interfacesAdded(const std::string& path, const InterfaceMap& added) = 0;
    /// After the changes were merged into the tree.
    virtual void propertiesChanged(const std::string& path, const std::string& interface,
                                   const PropertyMap& changed) = 0;
    /// After the interfaces were dropped from the tree.
    virtual void interfacesRemoved(const std::string& path,
                                   const std::vector<std::string>& interfaces) = 0;
  };

  using Reply = std::function<void(sdbus::MethodReply& reply, std::optional<BluetoothError> error)>;
  using Arguments = std::function<void(sdbus::MethodCall& call)>;
  static constexpr std::chrono::seconds kDefaultCallTimeout{25};

  BlueZObjects(BusLoop& loop, Listener& listener);
  ~BlueZObjects();
  BlueZObjects(const BlueZObjects&) = delete;
  BlueZObjects& operator=(const BlueZObjects&) = delete;

  /// Subscribes to the service's signals, then reads the tree.
  void start();
  /// Whether the caller runs on the loop thread, this tree's home.
  bool isHome() const { return loop_.isCurrent(); }

  const std::map<std::string, InterfaceMap>& objects() const { return objects_; }
  const PropertyMap* find(const std::string& path, const std::string& interface) const;
  /// The first adapter of the tree, if any.
  std::optional<std::string> adapterPath() const;
  AdapterState adapterState() const;

  /// Calls `method` on the object at `path`. `done` runs on the loop thread, later (never from
  /// inside this call), unless the returned call is cancelled or the object left the tree.
  sdbus::PendingAsyncCall call(const std::string& path, const std::string& interface,
                               const std::string& method, const Arguments& arguments, Reply done,
                               std::chrono::microseconds timeout = kDefaultCallTimeout);
  /// Cancels a call on a later turn of the loop: the call may be the one whose reply handler is
  /// running right now, and cancelling destroys that handler. Handlers must therefore still
  /// check that the reply is the one they wait for.
  void cancelLater(sdbus::PendingAsyncCall& call);

 private:
  void readTree();
  void onInterfacesAdded(sdbus::Message& message);
  void onInterfacesRemoved(sdbus::Message& message);
  void onPropertiesChanged(sdbus::Message& message);
  void onNameOwnerChanged(sdbus::Message& message);
  void dropProxy(const std::string& path);

  BusLoop& loop_;
  Listener& listener_;
  std::map<std::string, InterfaceMap> objects_;
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
  std::vector<sdbus::Slot> matches_;
  sdbus::PendingAsyncCall treeRead_;
  std::uint64_t treeGeneration_ = 0;
};

}  // namespace kestrom::bluetooth::bluez

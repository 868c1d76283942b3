#include "platform/bluetooth/BlueZObjects.h"

#include <utility>

#include "platform/dispatch/QueueCheck.h"

namespace kestrom::bluetooth::bluez {

using ObjectTree = std::map<sdbus::ObjectPath, std::map<std::string, PropertyMap>>;

namespace {

BluetoothError errorFrom(const sdbus::Error& error) {
  BluetoothError result;
  result.kind = error.getName() == "org.freedesktop.DBus.Error.NoReply" ? BluetoothError::Kind::timedOut
                                                                         : BluetoothError::Kind::failed;
  result.message = error.getName();
  if (!error.getMessage().empty()) {
    result.message += ": " + error.getMessage();
  }
  return result;
}

// The bus's answer to a call for a name nobody owns: the Bluetooth service is not running.
bool isServiceMissing(const BluetoothError& error) {
  return error.message.starts_with("org.freedesktop.DBus.Error.ServiceUnknown") ||
         error.message.starts_with("org.freedesktop.DBus.Error.NameHasNoOwner");
}

}  // namespace

BlueZObjects::BlueZObjects(BusLoop& loop, Listener& listener) : loop_(loop), listener_(listener) {}

BlueZObjects::~BlueZObjects() = default;

void BlueZObjects::start() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto* bus = loop_.connection();
  if (bus == nullptr) {
    listener_.treeReloaded();
    return;
  }
  try {
    matches_.push_back(bus->addMatch(
        "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',"
        "member='InterfacesAdded'",
        [this](sdbus::Message& m) { onInterfacesAdded(m); }));
    matches_.push_back(bus->addMatch(
        "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',"
        "member='InterfacesRemoved'",
        [this](sdbus::Message& m) { onInterfacesRemoved(m); }));
    matches_.push_back(bus->addMatch(
        "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
        "member='PropertiesChanged',path_namespace='/org/bluez'",
        [this](sdbus::Message& m) { onPropertiesChanged(m); }));
    matches_.push_back(bus->addMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0='org.bluez'",
        [this](sdbus::Message& m) { onNameOwnerChanged(m); }));
  } catch (const sdbus::Error& e) {
    loop_.log().error("Bluetooth: cannot follow the Bluetooth service: %s", e.getMessage());
  }
  readTree();
}

void BlueZObjects::readTree() {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  treeRead_.cancel();
  auto generation = ++treeGeneration_;
  treeRead_ = call("/", kObjectManager, "GetManagedObjects", {},
                   [this, generation](sdbus::MethodReply& reply, std::optional<BluetoothError> error) {
                     if (generation != treeGeneration_) {
                       return;
                     }
                     ObjectTree tree;
                     if (error && isServiceMissing(*error)) {
                       loop_.log().warning("Bluetooth: no Bluetooth service: %s is not on the system bus", kService);
                     }
                     if (!error) {
                       try {
                         reply >> tree;
                       } catch (const sdbus::Error& e) {
                         loop_.log().error("Bluetooth: unreadable object tree: %s", e.getMessage());
                       }
                     }
                     std::map<std::string, InterfaceMap> objects;
                     for (auto& [path, interfaces] : tree) {
                       objects.emplace(path, std::move(interfaces));
                     }
                     objects_.swap(objects);
                     for (const auto& [path, interfaces] : objects) {
                       if (!objects_.count(path)) {
                         dropProxy(path);
                       }
                     }
                     listener_.treeReloaded();
                   });
}

const PropertyMap* BlueZObjects::find(const std::string& path, const std::string& interface) const {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto object = objects_.find(path);
  if (object == objects_.end()) {
    return nullptr;
  }
  auto it = object->second.find(interface);
  return it == object->second.end() ? nullptr : &it->second;
}

std::optional<std::string> BlueZObjects::adapterPath() const {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  for (const auto& [path, interfaces] : objects_) {
    if (interfaces.count(kAdapter)) {
      return path;
    }
  }
  return std::nullopt;
}

AdapterState BlueZObjects::adapterState() const {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto path = adapterPath();
  if (!path) {
    return AdapterState::missing;
  }
  return valueOf<bool>(*find(*path, kAdapter), "Powered").value_or(false) ? AdapterState::poweredOn
                                                                         : AdapterState::poweredOff;
}

sdbus::PendingAsyncCall BlueZObjects::call(const std::string& path, const std::string& interface,
                                           const std::string& method, const Arguments& arguments,
                                           Reply done, std::chrono::microseconds timeout) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto fail = [this, &done](BluetoothError error) {
    loop_.post([done = std::move(done), error = std::move(error)] {
      sdbus::MethodReply none;
      done(none, error);
    });
    return sdbus::PendingAsyncCall{};
  };
  auto* bus = loop_.connection();
  if (bus == nullptr) {
    return fail({BluetoothError::Kind::adapterUnavailable, "no connection to the system bus"});
  }
  try {
    auto& proxy = proxies_[path];
    if (!proxy) {
      proxy = sdbus::createProxy(*bus, kService, path);
    }
    auto message = proxy->createMethodCall(interface, method);
    if (arguments) {
      arguments(message);
    }
    return proxy->callMethod(
        message,
        [done = std::move(done)](sdbus::MethodReply& reply, const sdbus::Error* error) {
          done(reply, error ? std::optional(errorFrom(*error)) : std::nullopt);
        },
        timeout);
  } catch (const sdbus::Error& e) {
    return fail(errorFrom(e));
  }
}

void BlueZObjects::cancelLater(sdbus::PendingAsyncCall& call) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  loop_.post([call = std::exchange(call, sdbus::PendingAsyncCall{})]() mutable { call.cancel(); });
}

void BlueZObjects::dropProxy(const std::string& path) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  auto it = proxies_.find(path);
  if (it == proxies_.end()) {
    return;
  }
  // Later, never inside a reply handler of that very proxy. Dropping it cancels its calls.
  auto proxy = std::shared_ptr<sdbus::IProxy>(std::move(it->second));
  proxies_.erase(it);
  loop_.post([proxy] {});
}

void BlueZObjects::onInterfacesAdded(sdbus::Message& message) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  sdbus::ObjectPath path;
  InterfaceMap added;
  try {
    message >> path >> added;
  } catch (const sdbus::Error& e) {
    return;
  }
  auto& interfaces = objects_[path];
  for (auto& [name, properties] : added) {
    auto& known = interfaces[name];
    for (auto& [key, value] : properties) {
      known[key] = value;
    }
  }
  listener_.interfacesAdded(path, added);
}

void BlueZObjects::onInterfacesRemoved(sdbus::Message& message) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  sdbus::ObjectPath path;
  std::vector<std::string> removed;
  try {
    message >> path >> removed;
  } catch (const sdbus::Error& e) {
    return;
  }
  auto object = objects_.find(path);
  if (object != objects_.end()) {
    for (const auto& name : removed) {
      object->second.erase(name);
    }
    if (object->second.empty()) {
      objects_.erase(object);
      dropProxy(path);
    }
  }
  listener_.interfacesRemoved(path, removed);
}

void BlueZObjects::onPropertiesChanged(sdbus::Message& message) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  std::string interface;
  PropertyMap changed;
  std::vector<std::string> invalidated;
  try {
    message >> interface >> changed >> invalidated;
  } catch (const sdbus::Error& e) {
    return;
  }
  std::string path = message.getPath();
  auto object = objects_.find(path);
  if (object == objects_.end()) {
    return;  // not in the tree (yet): the tree read will bring it
  }
  auto it = object->second.find(interface);
  if (it == object->second.end()) {
    return;
  }
  for (auto& [key, value] : changed) {
    it->second[key] = value;
  }
  for (const auto& key : invalidated) {
    it->second.erase(key);
  }
  listener_.propertiesChanged(path, interface, changed);
}

void BlueZObjects::onNameOwnerChanged(sdbus::Message& message) {
  KESTROM_ASSERT_ON_HOME(loop_.isCurrent(), "the bus loop thread");
  std::string name, oldOwner, newOwner;
  try {
    message >> name >> oldOwner >> newOwner;
  } catch (const sdbus::Error& e) {
    return;
  }
  if (name != kService) {
    return;
  }
  if (newOwner.empty()) {
    treeRead_.cancel();
    ++treeGeneration_;
    for (const auto& [path, interfaces] : objects_) {
      dropProxy(path);
    }
    objects_.clear();
    listener_.treeReloaded();
  } else {
    readTree();
  }
}

}  // namespace kestrom::bluetooth::bluez

#include "platform/bluetooth/BlueZDiscovery.h"

#include <utility>

#include "platform/dispatch/QueueCheck.h"

namespace kestrom::bluetooth::bluez {

namespace {
void ignoreReply(sdbus::MethodReply&, std::optional<BluetoothError>) {}
}  // namespace

BlueZDiscovery::BlueZDiscovery(BlueZObjects& objects, Failed failed) : objects_(objects), failed_(std::move(failed)) {}

void BlueZDiscovery::start(const std::string& adapter, const PropertyMap& filter) {
  KESTROM_ASSERT_ON_HOME(objects_.isHome(), "the bus loop thread");
  const bool alreadyActive = active_;
  active_ = true;
  const auto generation = ++generation_;
  auto failed = [this, generation](const BluetoothError& error) {
    if (generation != generation_ || !active_) {
      return;
    }
    active_ = false;
    failed_(error);
  };
  objects_.call(adapter, kAdapter, "SetDiscoveryFilter", [&](sdbus::MethodCall& m) { m << filter; },
                [this, adapter, generation, alreadyActive, failed](sdbus::MethodReply&, std::optional<BluetoothError> error) {
                  if (error) {
                    return failed(*error);
                  }
                  if (alreadyActive || generation != generation_) {
                    return;
                  }
                  objects_.call(adapter, kAdapter, "StartDiscovery", {},
                                [this, adapter, failed](sdbus::MethodReply&, std::optional<BluetoothError> error) {
                                  if (error && error->message.rfind("org.bluez.Error.InProgress", 0) != 0) {
                                    return failed(*error);
                                  }
                                  if (!error && !active_) {
                                    // stop came while the start was under way.
                                    objects_.call(adapter, kAdapter, "StopDiscovery", {}, ignoreReply);
                                  }
                                });
                });
}

void BlueZDiscovery::stop(const std::optional<std::string>& adapter) {
  KESTROM_ASSERT_ON_HOME(objects_.isHome(), "the bus loop thread");
  ++generation_;
  if (!active_) {
    return;
  }
  active_ = false;
  if (adapter) {
    objects_.call(*adapter, kAdapter, "StopDiscovery", {}, ignoreReply);
  }
}

bool BlueZDiscovery::end() {
  KESTROM_ASSERT_ON_HOME(objects_.isHome(), "the bus loop thread");
  if (!active_) {
    return false;
  }
  active_ = false;
  ++generation_;
  return true;
}

}  // namespace kestrom::bluetooth::bluez

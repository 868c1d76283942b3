#include "platform/bluetooth/BlueZDiscovery.h"

#include <utility>

#include "platform/dispatch/QueueCheck.h"

namespace kestrom::bluetooth::bluez {

namespace {

PropertyMap propertiesOf(const DiscoveryFilter& filter) {
  PropertyMap properties;
  if (!filter.transport.empty()) {
    properties["Transport"] = sdbus::Variant(filter.transport);
  }
  if (!filter.uuids.empty()) {
    properties["UUIDs"] = sdbus::Variant(filter.uuids);
  }
  if (!filter.pattern.empty()) {
    properties["Pattern"] = sdbus::Variant(filter.pattern);
  }
  if (filter.duplicateData) {
    properties["DuplicateData"] = sdbus::Variant(true);
  }
  return properties;
}

bool isInProgress(const BluetoothError& error) {
  return error.message.rfind("org.bluez.Error.InProgress", 0) == 0;
}

}  // namespace

BlueZDiscovery::BlueZDiscovery(BlueZObjects& objects, Failed failed) : objects_(objects), failed_(std::move(failed)) {}

void BlueZDiscovery::start(const std::string& adapter, const DiscoveryFilter& filter) {
  KESTROM_ASSERT_ON_HOME(objects_.isHome(), "the bus loop thread");
  wanted_ = Wanted{adapter, filter};
  ++wish_;
  step();
}

void BlueZDiscovery::stop() {
  KESTROM_ASSERT_ON_HOME(objects_.isHome(), "the bus loop thread");
  wanted_.reset();
  ++wish_;
  step();
}

bool BlueZDiscovery::end() {
  KESTROM_ASSERT_ON_HOME(objects_.isHome(), "the bus loop thread");
  // A call under way may never be answered (the adapter's proxy goes with it) or fail late.
  ++epoch_;
  calling_ = false;
  adapter_.clear();
  filterSet_.reset();
  discovering_ = false;
  return std::exchange(wanted_, std::nullopt).has_value();
}

void BlueZDiscovery::step() {
  KESTROM_ASSERT_ON_HOME(objects_.isHome(), "the bus loop thread");
  if (calling_) {
    return;
  }
  if (discovering_ && (!wanted_ || wanted_->adapter != adapter_)) {
    // Any answer leaves it off: "No discovery started" says it was already.
    return call(adapter_, "StopDiscovery", {}, [this](const std::optional<BluetoothError>&) {
      discovering_ = false;
      return std::nullopt;
    });
  }
  if (!wanted_) {
    return;
  }
  if (wanted_->adapter != adapter_ || filterSet_ != wanted_->filter) {
    const std::string adapter = wanted_->adapter;
    const DiscoveryFilter filter = wanted_->filter;
    return call(adapter, "SetDiscoveryFilter", [&](sdbus::MethodCall& m) { m << propertiesOf(filter); },
                [this, adapter, filter](const std::optional<BluetoothError>& error) {
                  if (!error) {
                    adapter_ = adapter;
                    filterSet_ = filter;
                  }
                  return error;
                });
  }
  if (!discovering_) {
    // The service keeps discovery per client: InProgress says this client's runs already.
    call(adapter_, "StartDiscovery", {}, [this](const std::optional<BluetoothError>& error) -> std::optional<BluetoothError> {
      if (error && !isInProgress(*error)) {
        return error;
      }
      discovering_ = true;
      return std::nullopt;
    });
  }
}

void BlueZDiscovery::call(const std::string& adapter, const char* method, const BlueZObjects::Arguments& arguments,
                          Outcome outcome) {
  KESTROM_ASSERT_ON_HOME(objects_.isHome(), "the bus loop thread");
  calling_ = true;
  objects_.call(adapter, kAdapter, method, arguments,
                [this, epoch = epoch_, wish = wish_, outcome = std::move(outcome)](sdbus::MethodReply&,
                                                                                    std::optional<BluetoothError> error) {
                  if (epoch != epoch_) {
                    return;
                  }
                  calling_ = false;
                  if (auto failure = outcome(error); failure && wish == wish_ && wanted_) {
                    wanted_.reset();
                    failed_(*failure);
                  }
                  step();
                });
}

}  // namespace kestrom::bluetooth::bluez

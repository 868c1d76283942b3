#pragma once
// Device discovery on one adapter of the Bluetooth service: the filter is set first, then
// discovery starts. Each start has a generation, so the replies of a start that a stop or a newer
// start overtook change nothing; a start that succeeds after a stop is stopped again. Loop thread
// only.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/bluetooth/BlueZObjects.h"

namespace kestrom::bluetooth::bluez {

class BlueZDiscovery {
 public:
  /// Discovery asked for could not be started or kept going; it is off now.
  using Failed = std::function<void(const BluetoothError& error)>;

  BlueZDiscovery(BlueZObjects& objects, Failed failed);

  bool active() const { return active_; }
  /// Sets `filter` on the adapter at `adapter` and starts discovering; when discovery is on
  /// already, only the filter changes.
  void start(const std::string& adapter, const PropertyMap& filter);
  /// Stops discovering, on `adapter` when there is one.
  void stop(const std::optional<std::string>& adapter);
  /// The adapter went off or away and took discovery along; true when it was on.
  bool end();

 private:
  BlueZObjects& objects_;
  const Failed failed_;
  bool active_ = false;
  std::uint64_t generation_ = 0;
};

}  // namespace kestrom::bluetooth::bluez

#pragma once
// Device discovery on one adapter of the Bluetooth service, kept as what the layer wants (off, or
// on with a filter) beside what the service was last told (the filter set, discovery on or off).
// One call to the service is under way at a time; each reply records what it changed and the
// next call is chosen anew from the two, so starts and stops in any number and timing end in
// discovery running once with the latest filter, or not running. Loop thread only.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/bluetooth/BlueZObjects.h"

namespace kestrom::bluetooth::bluez {

/// What SetDiscoveryFilter is given; empty fields are left out.
struct DiscoveryFilter {
  std::string transport;           // "le" or "bredr"
  std::vector<std::string> uuids;  // devices advertising one of these services
  std::string pattern;             // devices whose address or name begins with it
  bool duplicateData = false;      // every advertisement, unchanged ones too
  bool operator==(const DiscoveryFilter&) const = default;
};

class BlueZDiscovery {
 public:
  /// Discovery asked for could not be started or kept going; it is off now.
  using Failed = std::function<void(const BluetoothError& error)>;

  BlueZDiscovery(BlueZObjects& objects, Failed failed);

  /// Discovery with `filter` on the adapter at `adapter`; when it runs already, only the filter
  /// changes.
  void start(const std::string& adapter, const DiscoveryFilter& filter);
  void stop();
  /// The adapter went off or away and took discovery and its filter along; true when discovery
  /// was wanted.
  bool end();

 private:
  struct Wanted {
    std::string adapter;
    DiscoveryFilter filter;
  };
  /// What the reply of a call changed; the error that ends the discovery wanted, if any.
  using Outcome = std::function<std::optional<BluetoothError>(const std::optional<BluetoothError>& error)>;

  /// Makes the one call that brings the service closer to what is wanted, unless one is under way.
  void step();
  void call(const std::string& adapter, const char* method, const BlueZObjects::Arguments& arguments, Outcome outcome);

  BlueZObjects& objects_;
  const Failed failed_;
  std::optional<Wanted> wanted_;
  std::uint64_t wish_ = 0;  // counts starts and stops: a failure ends only the latest wish
  // What the service was told, on adapter_.
  std::string adapter_;
  std::optional<DiscoveryFilter> filterSet_;
  bool discovering_ = false;
  bool calling_ = false;
  std::uint64_t epoch_ = 0;  // counts ends: replies to calls made before one change nothing
};

}  // namespace kestrom::bluetooth::bluez

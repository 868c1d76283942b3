#pragma once
// One hub that a scan found, as the page sees it in "hub/devicefound" and "/hub/connections".

#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/CommonRecords.h"

namespace kestrom {

/// A found hub. Exactly one transport detail is filled by this host: `ble` for Bluetooth LE,
/// `serial` for USB; a classic Bluetooth hub carries neither (and `btc` is never filled).
struct IDeviceFound {
  /// Bluetooth LE details.
  struct Ble {
    /// One entry: the manufacturer's company identifier as decimal text -> the advertised bytes
    /// after the identifier, base64.
    std::optional<std::map<std::string, std::string>> manufacturerData;
    double rssi = 0;  // 0 when the transport has no reading

    friend bool operator==(const Ble&, const Ble&) = default;
    static constexpr auto codingFields() {
      using S = Ble;
      return std::tuple{field("manufacturerData", &S::manufacturerData), field("rssi", &S::rssi)};
    }
  };

  /// Classic Bluetooth details; written as {} when no strength is known.
  struct Btc {
    std::optional<double> rssi;

    friend bool operator==(const Btc&, const Btc&) = default;
    static constexpr auto codingFields() {
      using S = Btc;
      return std::tuple{field("rssi", &S::rssi)};
    }
  };

  /// USB details. Numbers travel as doubles, like every number the host pushes.
  struct Serial {
    double productID = 0;
    double vendorID = 0;

    friend bool operator==(const Serial&, const Serial&) = default;
    static constexpr auto codingFields() {
      using S = Serial;
      return std::tuple{field("productId", &S::productID), field("vendorId", &S::vendorID)};
    }
  };

  std::optional<Ble> ble;
  std::optional<Btc> btc;
  /// The hub's identifier within its transport; "/hub/connect" and friends name the hub by it.
  std::string id;
  std::string name;
  std::optional<Serial> serial;
  HubConnectionType type = HubConnectionType::bluetoothLowenergy;

  friend bool operator==(const IDeviceFound&, const IDeviceFound&) = default;
  static constexpr auto codingFields() {
    using S = IDeviceFound;
    return std::tuple{field("ble", &S::ble),       field("btc", &S::btc),       field("id", &S::id),
                      field("name", &S::name),     field("serial", &S::serial), field("type", &S::type)};
  }
};

}  // namespace kestrom

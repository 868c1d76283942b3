#pragma once
// Types that requests, replies and notifications share: the hub transports, a folder as host and
// page exchange it, and one user setting.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"

namespace kestrom {

/// The transports a hub can be reached over. Scans may name any of them, whether or not this host
/// has a transport for it.
/// `virtual_` carries a trailing underscore only because `virtual` is a C++ keyword.
enum class HubConnectionType { bluetoothClassic, bluetoothLowenergy, usb, usbHID, virtual_ };

template <>
struct EnumTable<HubConnectionType> {
  static constexpr std::array<std::pair<HubConnectionType, std::string_view>, 5> values{{
      {HubConnectionType::bluetoothClassic, "bluetooth-classic"},
      {HubConnectionType::bluetoothLowenergy, "bluetooth-lowenergy"},
      {HubConnectionType::usb, "usb"},
      {HubConnectionType::usbHID, "usb-hid"},
      {HubConnectionType::virtual_, "virtual"},
  }};
};

/// A folder as host and page exchange it. In what the host produces, `metadata` is the base64
/// text of a bookmark of the folder.
struct IHostPath {
  std::optional<std::string> metadata;
  std::string name;

  friend bool operator==(const IHostPath&, const IHostPath&) = default;
  static constexpr auto codingFields() {
    using S = IHostPath;
    return std::tuple{field("metadata", &S::metadata), field("name", &S::name)};
  }
};

/// One user setting. Its value is any JSON value; null is a value, only a missing key fails.
struct IUserSetting {
  JSONAny value;

  friend bool operator==(const IUserSetting&, const IUserSetting&) = default;
  static constexpr auto codingFields() {
    using S = IUserSetting;
    return std::tuple{field("value", &S::value)};
  }
};

}  // namespace kestrom

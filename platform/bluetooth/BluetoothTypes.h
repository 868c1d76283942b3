#pragma once
// Values shared by the Bluetooth layers: adapter state, errors, bytes and UUID text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrom::bluetooth {

using Bytes = std::vector<std::uint8_t>;

enum class AdapterState {
  poweredOn,
  poweredOff,
  missing,  // no adapter, no Bluetooth service, or no system bus
};

const char* adapterStateName(AdapterState state);

struct BluetoothError {
  enum class Kind {
    failed,              // the Bluetooth service refused or failed the call
    timedOut,            // our own time-out ran out
    notFound,            // no such device or characteristic
    notConnected,        // the operation needs a connection that is not (or no longer) there
    adapterUnavailable,  // the adapter is off or missing
    cancelled,           // ended by a disconnect before it completed
  };
  Kind kind = Kind::failed;
  /// What happened, with the service's error name when it came from there.
  std::string message;
};

/// A UUID as lower-case 128-bit text ("0000180d-0000-1000-8000-00805f9b34fb"); 16- and 32-bit
/// forms ("180D", "0000180d") are widened with the Bluetooth base UUID. Nothing when `text` is
/// not a UUID.
std::optional<std::string> normalizeUuid(std::string_view text);

}  // namespace kestrom::bluetooth

#pragma once
// One serial port of a USB device, as the serial device monitor announces it.

#include <optional>
#include <string>

namespace kestrom {

/// Two records are the same port when their paths are equal; the other fields may change from one
/// poll to the next (a renamed product is the same port) and take no part in equality.
struct SerialDevice {
  /// The device file to open ("/dev/ttyACM0"); fixed when the record is made.
  std::string path;
  /// The USB device's product name.
  std::optional<std::string> name;
  /// The USB device's manufacturer name.
  std::optional<std::string> vendorName;
  std::optional<std::string> serialNumber;
  std::optional<int> vendorId;
  std::optional<int> productId;

  friend bool operator==(const SerialDevice& a, const SerialDevice& b) { return a.path == b.path; }
};

}  // namespace kestrom

#pragma once
// The serial ports of USB devices present now, as the device registry describes them. The USB
// serial device monitor polls one of these; tests and headless runs use FakeSerialPorts.

#include <optional>
#include <string>
#include <vector>

#include "platform/Expected.h"

namespace kestrom::serial {

/// One serial port of a USB device.
struct SerialPort {
  /// The device file to open ("/dev/ttyACM0").
  std::string path;
  /// The USB device's product name, as the device states it.
  std::optional<std::string> product;
  /// The USB device's manufacturer name, as the device states it.
  std::optional<std::string> manufacturer;
  /// The USB device's serial number; empty when it has none.
  std::string serialNumber;
  std::optional<int> vendorId;
  std::optional<int> productId;

  friend bool operator==(const SerialPort&, const SerialPort&) = default;
};

class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  /// Every USB serial port present, in the registry's order; an error when the registry cannot
  /// be read (which is not the same as no ports). Any thread.
  virtual Expected<std::vector<SerialPort>, std::string> ports() = 0;
};

}  // namespace kestrom::serial

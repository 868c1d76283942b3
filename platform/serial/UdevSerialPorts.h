#pragma once
// SerialPorts read from udev: every "tty" device with a USB device above it, described by that
// USB device's own sysfs attributes (idVendor, idProduct, serial, manufacturer, product) rather
// than udev's derived ID_* properties, so it needs no udev rules to have run.

#include "platform/serial/SerialPorts.h"

namespace kestrom::serial {

class UdevSerialPorts final : public SerialPorts {
 public:
  // SerialPorts
  Expected<std::vector<SerialPort>, std::string> ports() override;
};

}  // namespace kestrom::serial

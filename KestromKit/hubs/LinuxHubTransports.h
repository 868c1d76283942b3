#pragma once
// The real hub transports of this host, for the application and the headless host.

#include "KestromKit/hubs/DeviceManager.h"

namespace kestrom {

/// Classic Bluetooth and Bluetooth LE hubs through BlueZ on the system bus, USB serial hubs
/// through udev and the serial ports' device files.
HubTransports makeLinuxHubTransports(const HubServiceFactory& factory, bool verbose);

}  // namespace kestrom

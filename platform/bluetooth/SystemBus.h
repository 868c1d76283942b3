#pragma once
// Opening a private connection to the system bus for one Bluetooth layer.

#include <memory>

#include "platform/log/Log.h"

namespace sdbus {
class IConnection;
}

namespace kestrom::bluetooth {

/// A new connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set), or null when there is
/// none to reach (logged).
std::unique_ptr<sdbus::IConnection> openSystemBus(const log::Logger& log);

}  // namespace kestrom::bluetooth

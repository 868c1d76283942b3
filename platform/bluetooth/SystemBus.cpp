#include "platform/bluetooth/SystemBus.h"

#include <sdbus-c++/sdbus-c++.h>

namespace kestrom::bluetooth {

std::unique_ptr<sdbus::IConnection> openSystemBus(const log::Logger& log) {
  try {
    return sdbus::createSystemBusConnection();
  } catch (const sdbus::Error& e) {
    log.error("Bluetooth: no system bus: %s", e.getMessage());
    return nullptr;
  }
}

}  // namespace kestrom::bluetooth

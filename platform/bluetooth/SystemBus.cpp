#include "platform/bluetooth/SystemBus.h"

#include <sdbus-c++/sdbus-c++.h>

namespace kestrom::bluetooth {

std::unique_ptr<sdbus::IConnection> openSystemBus(const log::Logger& log) {
  try {
    return sdbus::createSystemBusConnection();
  } catch (const sdbus::Error& e) {
    // A machine without Bluetooth runs without it: worth a word, not an error.
    log.warning("Bluetooth: no Bluetooth service: no system bus (%s)", e.getMessage());
    return nullptr;
  }
}

}  // namespace kestrom::bluetooth

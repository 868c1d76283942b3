#include "KestromKit/hubs/LinuxHubTransports.h"

#include "KestromKit/hubs/macOSUSBDeviceManager.h"
#include "platform/serial/UdevSerialPorts.h"

namespace kestrom {

HubTransports makeLinuxHubTransports(const HubServiceFactory& factory, bool /*verbose*/) {
  HubTransports transports;
  transports.usb = macOSUSBDeviceManager::create(factory.delegationQueue, factory.log,
                                                 std::make_shared<serial::UdevSerialPorts>());
  return transports;
}

}  // namespace kestrom

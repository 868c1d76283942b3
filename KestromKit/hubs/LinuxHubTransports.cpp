#include "KestromKit/hubs/LinuxHubTransports.h"

#include "KestromKit/hubs/QenBLEDeviceManager.h"
#include "KestromKit/hubs/macOSBluetoothDeviceManager.h"
#include "KestromKit/hubs/macOSUSBDeviceManager.h"
#include "platform/bluetooth/BlueZBleCentral.h"
#include "platform/bluetooth/BlueZClassicBluetooth.h"
#include "platform/serial/UdevSerialPorts.h"

namespace kestrom {

HubTransports makeLinuxHubTransports(const HubServiceFactory& factory, bool verbose) {
  HubTransports transports;
  // Each Bluetooth transport has a bus connection of its own (a new one when the user asks to
  // try Bluetooth again).
  transports.bluetoothClassic = macOSBluetoothDeviceManager::create(
      factory.delegationQueue, factory.log, verbose, [log = factory.log] {
        bluetooth::BlueZClassicBluetooth::Options options;
        options.log = log;
        return std::make_shared<bluetooth::BlueZClassicBluetooth>(options);
      });
  transports.usb = macOSUSBDeviceManager::create(factory.delegationQueue, factory.log,
                                                 std::make_shared<serial::UdevSerialPorts>());
  transports.bluetoothLowEnergy =
      QenBLEDeviceManager::create(factory.delegationQueue, factory.log, [log = factory.log] {
        bluetooth::BlueZBleCentral::Options options;
        options.log = log;
        return std::make_shared<bluetooth::BlueZBleCentral>(options);
      });
  return transports;
}

}  // namespace kestrom

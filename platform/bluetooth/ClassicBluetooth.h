#pragma once
// Classic Bluetooth for the hub transport: adapter state, discovery of BR/EDR devices and
// serial-port (RFCOMM) connections, handed over as a socket.
//
// Operations return at once and never report from inside the call; outcomes arrive on the
// observer, on this layer's own thread, as plain values. connect ends in exactly one connected
// (with the socket) or connectFailed, within one time-out; a connect while an attempt for the
// same device is under way joins it. disconnect reports disconnected (also when nothing was
// connected); a link that the Bluetooth service ends reports disconnected once.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/bluetooth/BluetoothTypes.h"
#include "platform/bluetooth/OwnedFd.h"

namespace kestrom::bluetooth {

/// The serial port profile.
inline constexpr const char* kSerialPortProfileUuid = "00001101-0000-1000-8000-00805f9b34fb";

struct ClassicDevice {
  /// "00:11:22:33:44:55"; also the device's id.
  std::string address;
  std::optional<std::string> name;
  /// The class of device (major/minor class and service bits).
  std::optional<std::uint32_t> deviceClass;
};

class ClassicBluetoothObserver {
 public:
  virtual ~ClassicBluetoothObserver() = default;
  /// The first report comes once the layer has looked at the adapter, then one per change.
  virtual void adapterStateChanged(AdapterState state) = 0;
  virtual void deviceFound(const ClassicDevice& device) = 0;
  /// Discovery ended without stopDiscovery: it could not start, or the adapter went off or away.
  virtual void discoveryStopped(const BluetoothError& error) = 0;
  /// The serial link is up; `socket` is the RFCOMM stream, now owned by the observer.
  virtual void connected(const std::string& address, OwnedFd socket) = 0;
  virtual void connectFailed(const std::string& address, const BluetoothError& error) = 0;
  virtual void disconnected(const std::string& address) = 0;
};

class ClassicBluetooth {
 public:
  virtual ~ClassicBluetooth() = default;

  /// Held weakly; reports made while no observer is set are dropped. Any thread.
  virtual void setObserver(std::weak_ptr<ClassicBluetoothObserver> observer) = 0;
  /// The state last reported. Any thread.
  virtual AdapterState adapterState() const = 0;

  virtual void startDiscovery() = 0;
  virtual void stopDiscovery() = 0;
  /// Opens the serial port profile of a device found earlier.
  virtual void connect(const std::string& address) = 0;
  virtual void disconnect(const std::string& address) = 0;
};

}  // namespace kestrom::bluetooth

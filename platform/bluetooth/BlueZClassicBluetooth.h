#pragma once
// Classic Bluetooth over BlueZ on the system bus (sdbus-c++): BR/EDR discovery, and serial-port
// links through a profile this layer registers once with ProfileManager1 and exports as
// Profile1 (BlueZ hands each RFCOMM socket to its NewConnection). One bus connection of its own,
// served by its own thread ("BlueZClassicBluetooth"); observer reports come on that thread.

#include <chrono>
#include <memory>
#include <string>

#include "platform/bluetooth/ClassicBluetooth.h"
#include "platform/log/Log.h"

namespace kestrom::bluetooth {

class BlueZClassicBluetooth final : public ClassicBluetooth {
 public:
  struct Options {
    /// One per connection attempt, from connect until the socket arrives.
    std::chrono::milliseconds connectTimeout{15'000};
    /// Where the profile object is exported on our connection.
    std::string profilePath = "/org/kestrom/bluetooth/serialport";
    log::Logger log{"Kestrom", "Bluetooth"};
  };

  /// Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set). Without a bus or a
  /// Bluetooth service the adapter reads as missing and every operation fails.
  explicit BlueZClassicBluetooth(Options options);
  BlueZClassicBluetooth();
  ~BlueZClassicBluetooth() override;
  BlueZClassicBluetooth(const BlueZClassicBluetooth&) = delete;
  BlueZClassicBluetooth& operator=(const BlueZClassicBluetooth&) = delete;

  // ClassicBluetooth
  void setObserver(std::weak_ptr<ClassicBluetoothObserver> observer) override;
  AdapterState adapterState() const override;
  void startDiscovery() override;
  void stopDiscovery() override;
  void connect(const std::string& address) override;
  void disconnect(const std::string& address) override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrom::bluetooth

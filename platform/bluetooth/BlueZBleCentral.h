#pragma once
// The Bluetooth LE central over BlueZ on the system bus (sdbus-c++). One bus connection of its
// own, served by its own thread ("BlueZBleCentral"); observer reports come on that thread.
// Peripheral ids are name-based UUIDs of the adapter's and the device's addresses.

#include <chrono>
#include <memory>

#include "platform/bluetooth/BleCentral.h"
#include "platform/log/Log.h"

namespace kestrom::bluetooth {

class BlueZBleCentral final : public BleCentral {
 public:
  struct Options {
    /// From connect until the peripheral's services are resolved.
    std::chrono::milliseconds connectTimeout{30'000};
    log::Logger log{"Kestrom", "Bluetooth"};
  };

  /// Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set). Without a bus or a
  /// Bluetooth service the adapter reads as missing and every operation fails.
  explicit BlueZBleCentral(Options options);
  BlueZBleCentral();
  ~BlueZBleCentral() override;
  BlueZBleCentral(const BlueZBleCentral&) = delete;
  BlueZBleCentral& operator=(const BlueZBleCentral&) = delete;

  /// The id a peripheral with `deviceAddress` gets on the adapter with `adapterAddress`.
  static std::string peripheralId(const std::string& adapterAddress, const std::string& deviceAddress);

  // BleCentral
  void setObserver(std::weak_ptr<BleCentralObserver> observer) override;
  AdapterState adapterState() const override;
  bool isConnected(const std::string& id) const override;
  void startScan(std::vector<std::string> serviceUuids) override;
  void stopScan() override;
  void connect(const std::string& id) override;
  void disconnect(const std::string& id) override;
  void findCharacteristic(const std::string& id, const std::string& characteristic) override;
  void subscribe(const std::string& id, const std::string& characteristic) override;
  void write(const std::string& id, const std::string& characteristic, Bytes value) override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrom::bluetooth

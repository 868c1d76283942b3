#pragma once
// The Bluetooth LE central the hub transport talks to: adapter state, scanning, connections, one
// characteristic looked up by UUID, notifications and writes with response.
//
// Every operation returns at once and never reports from inside the call; outcomes arrive on
// the observer, on the central's own thread, as plain values. Each operation that names a
// peripheral gets exactly one outcome: connect -> connected or connectFailed; findCharacteristic
// -> characteristicFound; subscribe -> subscribed; write -> writeCompleted (writes of one
// peripheral go out one at a time, in the order given); disconnect -> disconnected (also when
// the peripheral was not connected; an attempt under way first ends in connectFailed). A connect
// while an attempt for the same peripheral is under way joins it. A connection that ends by
// itself reports disconnected once, after failing the writes still pending on it.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bluetooth/BluetoothTypes.h"

namespace kestrom::bluetooth {

/// One advertising peripheral as last seen.
struct BlePeripheral {
  /// Upper-case UUID text, stable for one adapter and one device address.
  std::string id;
  std::string address;
  std::optional<std::string> name;
  std::optional<std::int16_t> rssi;
  /// Company identifier -> payload.
  std::map<std::uint16_t, Bytes> manufacturerData;
  /// The advertised service UUIDs, as normalizeUuid gives them.
  std::vector<std::string> uuids;
};

class BleCentralObserver {
 public:
  virtual ~BleCentralObserver() = default;
  /// The first report comes once the central has looked at the adapter, then one per change.
  virtual void adapterStateChanged(AdapterState state) = 0;
  /// An advertisement (or a change of name, RSSI or manufacturer data) seen while scanning.
  virtual void peripheralFound(const BlePeripheral& peripheral) = 0;
  /// A scan ended without stopScan: it could not start, or the adapter went off or away.
  virtual void scanStopped(const BluetoothError& error) = 0;
  /// The peripheral is gone from the adapter's list (after disconnected, when it was connected).
  virtual void peripheralVanished(const std::string& id) = 0;

  virtual void connected(const std::string& id) = 0;
  virtual void connectFailed(const std::string& id, const BluetoothError& error) = 0;
  virtual void disconnected(const std::string& id) = 0;
  /// `characteristic` as given to the request; no error when some service of the peripheral has it.
  virtual void characteristicFound(const std::string& id, const std::string& characteristic,
                                   const std::optional<BluetoothError>& error) = 0;
  virtual void subscribed(const std::string& id, const std::string& characteristic,
                          const std::optional<BluetoothError>& error) = 0;
  virtual void valueChanged(const std::string& id, const std::string& characteristic,
                            const Bytes& value) = 0;
  virtual void writeCompleted(const std::string& id, const std::string& characteristic,
                              const std::optional<BluetoothError>& error) = 0;
};

class BleCentral {
 public:
  virtual ~BleCentral() = default;

  /// Held weakly; reports made while no observer is set are dropped. Any thread.
  virtual void setObserver(std::weak_ptr<BleCentralObserver> observer) = 0;
  /// The state last reported. Any thread.
  virtual AdapterState adapterState() const = 0;
  /// True from connected until the connection ends. Any thread.
  virtual bool isConnected(const std::string& id) const = 0;

  /// Scans for LE peripherals advertising one of `serviceUuids` (all when empty); texts that
  /// are not UUIDs are skipped. Only peripherals that advertise one of them are reported, also
  /// those the adapter knew before. A second call while scanning changes the filter.
  virtual void startScan(std::vector<std::string> serviceUuids) = 0;
  virtual void stopScan() = 0;

  /// Connects a peripheral seen earlier. One the adapter has forgotten since (it drops unpaired
  /// devices a while after discovery ends) is looked for first, by its address, within the same
  /// time-out.
  virtual void connect(const std::string& id) = 0;
  virtual void disconnect(const std::string& id) = 0;
  /// Looks for `characteristic` on every service of the connected peripheral.
  virtual void findCharacteristic(const std::string& id, const std::string& characteristic) = 0;
  /// Turns on value notifications of `characteristic`; values then arrive as valueChanged.
  virtual void subscribe(const std::string& id, const std::string& characteristic) = 0;
  /// Writes `value` whole, with response.
  virtual void write(const std::string& id, const std::string& characteristic, Bytes value) = 0;
};

}  // namespace kestrom::bluetooth

#pragma once
// A stand-in for the Bluetooth service (org.bluez) on the private system bus: one adapter
// (hci0), devices that advertise, GATT services that appear on Connect, and serial-port profiles
// whose NewConnection gets one end of a socketpair. The test drives it through the methods
// below (each runs on the fake's own bus thread and waits for it) and can fail or stall the
// next calls of a method, switch the adapter off, or make a device or the adapter vanish.
//
// Where the hosts' faults hide it behaves as the real service does: there is one object tree
// for every client of the bus (a device one client's discovery found is listed for all);
// discovery and its filter are kept per client; ConnectProfile on an LE-only device fails with
// org.bluez.Error.NotAvailable; and devices that are neither paired nor connected are dropped
// from the tree a while after the last client's discovery stops (the service's temporary-device
// time-out). A dropped device that still advertises comes back with the next discovery that
// takes it.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bluetooth/BluetoothTypes.h"
#include "platform/bluetooth/OwnedFd.h"

namespace kestrom::testing {

using bluetooth::Bytes;

struct FakeCharacteristic {
  std::string uuid;
  std::vector<std::string> flags{"write", "notify"};
};

struct FakeService {
  std::string uuid;
  std::vector<FakeCharacteristic> characteristics;
};

struct FakeDevice {
  std::string address;
  std::optional<std::string> name;
  std::int16_t rssi = -60;
  std::map<std::uint16_t, Bytes> manufacturerData;
  std::vector<std::string> uuids;  // advertised services, lower-case 128-bit
  bool lowEnergy = true;           // false: a BR/EDR device
  std::optional<std::uint32_t> deviceClass;  // what an inquiry reports; LE-only devices have none
  std::string addressType = "public";       // "random": an LE-only address
  bool paired = false;                      // paired devices are never dropped
  std::vector<FakeService> services;  // exported between Connect and Disconnect
};

struct RecordedWrite {
  std::string address;
  std::string characteristic;
  Bytes value;
  std::string type;  // the "type" option of WriteValue
};

struct FakeDiscoveryFilter {
  std::vector<std::string> uuids;
  std::string transport;
  std::string pattern;  // a prefix of the address or the name
};

class FakeBluez {
 public:
  static constexpr const char* kAdapterAddress = "00:1A:7D:DA:71:13";

  /// Takes the name org.bluez on the system bus and exports a powered adapter.
  FakeBluez();
  ~FakeBluez();
  FakeBluez(const FakeBluez&) = delete;
  FakeBluez& operator=(const FakeBluez&) = delete;

  void setPowered(bool powered);
  void removeAdapter();
  void addAdapter();
  /// The device advertises: it is exported (or updated) when the adapter is on and some
  /// client's discovery filter takes it. True when it is in the tree afterwards.
  bool advertise(const FakeDevice& device);
  /// Gone out of range: off the tree at once, and it advertises no more.
  void removeDevice(const std::string& address);
  /// How long after the last discovery stops unpaired, unconnected devices are dropped (the
  /// service's default is 30 s).
  void setTemporaryTimeout(std::chrono::milliseconds timeout);
  /// Whether `address` is in the object tree now.
  bool listed(const std::string& address) const;
  /// Sets a characteristic's value; sent as PropertiesChanged while notifications are on.
  void notify(const std::string& address, const std::string& characteristic, const Bytes& value);

  /// The next call of `method` (e.g. "Connect") fails with `errorName`.
  void failNext(const std::string& method, const std::string& errorName);
  /// Calls of `method` get no answer until release(method).
  void stall(const std::string& method);
  /// Answers the stalled calls of `method` now and stops stalling it.
  void release(const std::string& method);

  int calls(const std::string& method) const;
  int stalledCalls(const std::string& method) const;
  std::vector<RecordedWrite> writes() const;
  int maxWritesInFlight() const;
  std::optional<FakeDiscoveryFilter> lastDiscoveryFilter() const;
  bool discovering() const;
  bool notifying(const std::string& address, const std::string& characteristic) const;
  bool connected(const std::string& address) const;
  int registeredProfiles() const;
  /// The test's end of the socketpair handed out by the latest ConnectProfile of `address`.
  OwnedFd takeSocket(const std::string& address);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrom::testing

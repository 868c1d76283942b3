#pragma once
// The loop-thread side of BlueZBleCentral, shared by its two halves: BlueZBleCentral.cpp (the
// tree's events, scanning and the public face) and BlueZBleLinks.cpp (connections,
// characteristics and writes). Private to this layer.

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/bluetooth/BlueZBleCentral.h"
#include "platform/bluetooth/BlueZClient.h"
#include "platform/bluetooth/BlueZDiscovery.h"

namespace kestrom::bluetooth {

inline BluetoothError notConnected(const std::string& id) {
  return {BluetoothError::Kind::notConnected, "peripheral " + id + " is not connected"};
}

/// Lives on the loop thread, except the observer slot and the two snapshots read by any thread.
class BlueZBleCentral::Impl final : public bluez::BlueZClient<BleCentralObserver> {
 public:
  explicit Impl(Options options) : BlueZClient("BlueZBleCentral", options.log), options_(std::move(options)) {
    start();
  }

  ~Impl() override {
    loop_.stop();  // before the members its handlers use go away
  }

  // Any thread.
  bool isConnected(const std::string& id) const {
    std::lock_guard lock(connectedMutex_);
    return connectedIds_.count(id) != 0;
  }

  // Operations, on the loop thread.
  void startScan(std::vector<std::string> uuids);
  void stopScan();
  void connect(const std::string& id);
  void disconnect(const std::string& id);
  void findCharacteristic(const std::string& id, const std::string& uuid);
  void subscribe(const std::string& id, const std::string& uuid);
  void write(const std::string& id, const std::string& uuid, Bytes value);

 private:
  struct Write {
    std::string characteristic;
    Bytes value;
  };
  struct Connection {
    std::uint64_t serial = 0;
    std::string path;
    bool established = false;
    BusLoop::TimerId timer = 0;
    sdbus::PendingAsyncCall connectCall;
    std::deque<Write> writes;
    bool writing = false;
    sdbus::PendingAsyncCall writeCall;
    std::map<std::string, std::string> subscriptions;  // characteristic path -> text asked for
  };

  // BlueZObjects::Listener
  void treeReloaded() override;
  void interfacesAdded(const std::string& path, const bluez::InterfaceMap& added) override;
  void propertiesChanged(const std::string& path, const std::string& interface,
                         const bluez::PropertyMap& changed) override;
  void interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces) override;

  void updateAdapter();
  void addPeripheral(const std::string& path, bool report);
  std::optional<BlePeripheral> describe(const std::string& path) const;
  void finishConnect(const std::string& id);
  void endConnection(const std::string& id, const BluetoothError& why);
  void setConnected(const std::string& id, bool connected);
  std::optional<std::string> characteristicPath(const Connection& connection, const std::string& uuid) const;
  void pumpWrites(const std::string& id);
  Connection* connection(const std::string& id, bool established);

  Options options_;
  bluez::BlueZDiscovery scan_{objects_, [this](const BluetoothError& error) {
                         options_.log.error("BlueZBleCentral: scan failed: %s", error.message);
                         scanning_ = false;
                         report([&](BleCentralObserver& o) { o.scanStopped(error); });
                       }};

  mutable std::mutex connectedMutex_;  // guards connectedIds_
  std::set<std::string> connectedIds_;

  /// The discovery this central wants now: the page's scan, or a look for forgotten peripherals.
  void updateDiscovery();
  bool passesFilter(const BlePeripheral& peripheral) const;
  /// Attempts waiting for their peripheral to come back get its path and go on.
  void resumeAttempts(const std::string& id, const std::string& path);
  void connectPath(const std::string& id);

  std::optional<std::string> adapterPath_;
  std::string adapterAddress_;
  std::vector<std::string> filter_;
  bool scanning_ = false;                           // between startScan and stopScan
  std::map<std::string, std::string> seen_;         // id -> address of every peripheral ever listed
  std::map<std::string, std::string> peripherals_;  // id -> device path
  std::map<std::string, std::string> pathIds_;      // device path -> id
  std::map<std::string, Connection> connections_;   // by id
  std::uint64_t nextSerial_ = 1;
};

}  // namespace kestrom::bluetooth

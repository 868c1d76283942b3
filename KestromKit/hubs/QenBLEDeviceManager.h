#pragma once
// The transport for hubs reached over Bluetooth LE. It scans for advertising hubs, reports each
// advertisement that carries manufacturer data, connects a hub, finds the hub characteristic on
// whichever service carries it, subscribes to its notifications, writes whole hub messages with
// response one at a time in order, and hands every notified value on as received bytes.
//
// Home queues: every operation hops onto the "QenBLEDeviceManager" queue, which owns the records
// and the central; the central's reports arrive on its own thread and only hop onto that queue;
// reports go to the delegation queue. Owned by the hub service; make it with `create`.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/hubs/DeviceManager.h"
#include "KestromKit/hubs/DeviceManagerReporter.h"
#include "KestromKit/hubs/HoppingObserver.h"
#include "platform/bluetooth/BleCentral.h"

namespace kestrom {

class QenBLEDeviceManager final : public DeviceManager,
                                  public std::enable_shared_from_this<QenBLEDeviceManager> {
 public:
  /// Makes a central with its own bus connection; called once at the start and again by the
  /// retry action of a "Bluetooth unavailable" report.
  using CentralMaker = std::function<std::shared_ptr<bluetooth::BleCentral>()>;

  /// The characteristic every hub speaks through.
  static constexpr const char* kHubCharacteristic = "00001624-1212-EFDE-1623-785FEABCD123";

  static std::shared_ptr<QenBLEDeviceManager> create(std::shared_ptr<dispatch::Queue> delegationQueue,
                                                     log::Logger log, CentralMaker makeCentral);
  ~QenBLEDeviceManager() override;
  QenBLEDeviceManager(const QenBLEDeviceManager&) = delete;
  QenBLEDeviceManager& operator=(const QenBLEDeviceManager&) = delete;

  /// The record reported for an advertisement; none without manufacturer data that has a payload.
  static std::optional<IDeviceFound> deviceRecord(const bluetooth::BlePeripheral& peripheral);

  // DeviceManager
  void startScan(std::optional<std::vector<std::string>> bleServices) override;
  void setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate) override;
  /// Always reports a stopped scan.
  void stopScan() override;
  void connect(const std::string& id) override;
  void disconnect(const std::string& id) override;
  void send(std::string bytes, const std::string& id) override;
  bool isConnected(const std::string& id) override;

 private:
  enum class BLEDeviceState { unavailable, available, connected };
  /// How far a connection has come.
  enum class Link { none, connecting, discovering, ready };
  struct BLEDevice {
    std::optional<std::string> characteristics;  // the hub characteristic once found
    std::deque<std::string> outgoingData;        // whole messages; the first is in flight while transmitting
    bool transmitting = false;
    BLEDeviceState state = BLEDeviceState::available;
    Link link = Link::none;
    bool disconnectAsked = false;  // the hub service asked; its disconnect report is owed
    bool disconnectReported = false;  // said already (Bluetooth went off); the central's own is dropped
    int quietDisconnects = 0;  // links this manager dropped after a failed attempt; their reports are dropped
  };
  class CentralObserver;

  QenBLEDeviceManager(std::shared_ptr<dispatch::Queue> delegationQueue, log::Logger log, CentralMaker makeCentral);

  // On the "QenBLEDeviceManager" queue.
  void recreateCentralManager();
  void onAdapterState(bluetooth::AdapterState state);
  void onScanStopped(const bluetooth::BluetoothError& error);
  void onPeripheralFound(const bluetooth::BlePeripheral& peripheral);
  void onPeripheralVanished(const std::string& id);
  void onConnected(const std::string& id);
  void onConnectFailed(const std::string& id, const bluetooth::BluetoothError& error);
  void onDisconnected(const std::string& id);
  void onCharacteristicFound(const std::string& id, const std::optional<bluetooth::BluetoothError>& error);
  void onSubscribed(const std::string& id, const std::optional<bluetooth::BluetoothError>& error);
  void onValueChanged(const std::string& id, const bluetooth::Bytes& value);
  void onWriteCompleted(const std::string& id, const std::optional<bluetooth::BluetoothError>& error);
  void doConnect(const std::string& id);
  void doDisconnect(const std::string& id);
  void doSend(const std::string& id, std::string bytes);
  void doStopScan();
  /// Writes the next queued message when none is in flight.
  void sendNextMessage(const std::string& id);
  /// A connection attempt that did not get through: the link is dropped without a disconnect report.
  void failConnect(const std::string& id, BLEDevice& device);
  /// Forgets what was queued for a hub whose connection ended.
  static void resetLink(BLEDevice& device);
  friend class HoppingObserver<QenBLEDeviceManager, bluetooth::BleCentralObserver>;

  const std::shared_ptr<dispatch::Queue> queue_;
  const log::Logger log_;
  DeviceManagerReporter reporter_;
  const CentralMaker makeCentral_;

  // "QenBLEDeviceManager" queue only.
  std::vector<std::string> qenServices_;
  std::map<std::string, BLEDevice> devices_;
  std::shared_ptr<bluetooth::BleCentral> central_;
  std::shared_ptr<CentralObserver> observer_;
  std::uint64_t generation_ = 0;  // tells the current central's reports from an earlier one's
  bool isScanning_ = false;
  bool canRequireBluetooth_ = false;
  bool adapterKnown_ = false;  // the current central has reported the adapter's state
  bool scanPending_ = false;   // a scan asked for before that: it starts once the adapter is on
};

}  // namespace kestrom

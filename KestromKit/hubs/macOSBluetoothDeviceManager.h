#pragma once
// The transport for hubs reached over classic Bluetooth with the serial port profile. It finds
// hubs with BR/EDR discovery (the found list is cleared every five seconds while searching, so a
// hub still in range is reported again), connects one through the serial port profile (the
// Bluetooth service does the baseband link, the service search and RFCOMM itself; each attempt
// ends within one time-out), writes outgoing bytes in pieces, one piece in flight, and hands
// incoming bytes on unframed. A hub's id is its Bluetooth address.
//
// Home queues: every operation hops onto the "macOSBluetoothDeviceManager" queue, which owns the
// Bluetooth object, the found list and the open channels; the Bluetooth object's reports and the
// channels' events arrive on their own threads and only hop onto that queue; reports go to the
// delegation queue. Owned by the hub service; make it with `create`.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "KestromKit/hubs/DeviceManager.h"
#include "KestromKit/hubs/DeviceManagerReporter.h"
#include "KestromKit/hubs/HoppingObserver.h"
#include "KestromKit/hubs/StreamHops.h"
#include "platform/bluetooth/ClassicBluetooth.h"
#include "platform/bluetooth/RfcommStream.h"

namespace kestrom {

class macOSBluetoothDeviceManager final : public DeviceManager,
                                          public std::enable_shared_from_this<macOSBluetoothDeviceManager> {
 public:
  /// Makes the Bluetooth object with its own bus connection; called by the first scan or connect
  /// and again by the retry action of a "Bluetooth unavailable" report.
  using BluetoothMaker = std::function<std::shared_ptr<bluetooth::ClassicBluetooth>()>;

  struct Options {
    /// How often the found list is cleared while searching.
    std::chrono::milliseconds clearInterval{5000};
    /// The largest piece handed to the socket in one write.
    std::size_t writePieceSize = 1000;
  };

  static std::shared_ptr<macOSBluetoothDeviceManager> create(std::shared_ptr<dispatch::Queue> delegationQueue,
                                                             log::Logger log, bool verbose,
                                                             BluetoothMaker makeBluetooth, Options options);
  static std::shared_ptr<macOSBluetoothDeviceManager> create(std::shared_ptr<dispatch::Queue> delegationQueue,
                                                             log::Logger log, bool verbose,
                                                             BluetoothMaker makeBluetooth) {
    return create(std::move(delegationQueue), std::move(log), verbose, std::move(makeBluetooth), Options{});
  }
  ~macOSBluetoothDeviceManager() override;
  macOSBluetoothDeviceManager(const macOSBluetoothDeviceManager&) = delete;
  macOSBluetoothDeviceManager& operator=(const macOSBluetoothDeviceManager&) = delete;

  /// The record reported for a device found by discovery.
  static IDeviceFound deviceRecord(const bluetooth::ClassicDevice& device);

  // DeviceManager
  void startScan(std::optional<std::vector<std::string>> bleServices) override;
  void setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate) override;
  /// Reports a stopped scan, once per call, whether or not discovery was running.
  void stopScan() override;
  void connect(const std::string& id) override;
  void disconnect(const std::string& id) override;
  void send(std::string bytes, const std::string& id) override;
  /// Whether the hub's channel is open.
  bool isConnected(const std::string& id) override;

 private:
  struct Channel {
    std::shared_ptr<bluetooth::RfcommStream> channel;
    std::uint64_t number = 0;  // tells this link from earlier ones of the same hub
    std::string outboundData;  // accepted, not yet handed to the socket
    bool writing = false;      // a piece is in flight
  };
  class BluetoothObserver;

  macOSBluetoothDeviceManager(std::shared_ptr<dispatch::Queue> delegationQueue, log::Logger log, bool verbose,
                              BluetoothMaker makeBluetooth, Options options);

  // On the "macOSBluetoothDeviceManager" queue.
  void ensureManager();
  void recreateManager();
  void startInquiry();
  void scheduleClearing(std::uint64_t search);
  void doStopScan();
  void doConnect(const std::string& id);
  void doSend(const std::string& id, std::string bytes);
  void onAdapterState(bluetooth::AdapterState state);
  void onDeviceFound(const bluetooth::ClassicDevice& device);
  void onDiscoveryStopped(const bluetooth::BluetoothError& error);
  void onConnected(const std::string& id, OwnedFd socket);
  void onConnectFailed(const std::string& id, const bluetooth::BluetoothError& error);
  void onLinkEnded(const std::string& id);
  void onData(std::uint64_t number, const std::string& id, std::string bytes);
  void onWritten(std::uint64_t number, const std::string& id, const std::optional<std::string>& error);
  void onStreamEnded(std::uint64_t number, const std::string& id, const std::string& reason);
  /// Hands the next piece to the socket, or reports the send completed when nothing is left.
  void sendNextChunk(const std::string& id);
  /// Drops the hub's channel and what it had not written; reports it disconnected when asked to,
  /// whether or not a channel existed.
  void cleanup(const std::string& id, bool report);
  bool isCurrent(std::uint64_t number, const std::string& id) const;
  friend class HoppingObserver<macOSBluetoothDeviceManager, bluetooth::ClassicBluetoothObserver>;
  friend class StreamHops<macOSBluetoothDeviceManager>;

  const std::string tag_ = "macOSBluetoothDeviceManager";
  const std::shared_ptr<dispatch::Queue> queue_;
  const log::Logger log_;
  const bool verbose_;
  DeviceManagerReporter reporter_;
  const BluetoothMaker makeBluetooth_;
  const Options options_;

  // "macOSBluetoothDeviceManager" queue only.
  std::shared_ptr<bluetooth::ClassicBluetooth> manager_;
  std::shared_ptr<BluetoothObserver> observer_;
  std::uint64_t generation_ = 0;  // tells the current Bluetooth object's reports from an earlier one's
  bool adapterKnown_ = false;  // the current Bluetooth object has reported the adapter's state
  bool isSearching_ = false;
  bool scanRequested_ = false;    // between startScan and stopScan
  bool canRequireBluetooth_ = false;
  std::uint64_t search_ = 0;      // the clearing of an earlier search stops
  std::set<std::string> foundDevices_;  // reported since the found list was last cleared
  std::set<std::string> connecting_;
  std::map<std::string, Channel> channels_;
  std::uint64_t nextChannel_ = 1;
};

}  // namespace kestrom

#pragma once
// The transport for hubs attached over USB that present themselves as serial ports. A serial
// device monitor, polling every half second on a thread of its own while scanning, announces the
// ports; each port with a USB serial number and vendor and product ids is reported found, the
// serial number being the hub's id. Connecting opens the port as one serial stream (raw, 8 data
// bits, 115200 baud: hubs ignore the speed of a CDC-ACM line); every read goes to the hub service
// unframed, and messages are written whole and in order.
//
// Home queues: operations and the monitor's announcements on main (`devices_`, scanning); the
// "macOSUSBDeviceManager" queue owns the open connections and their pending writes; stream events
// arrive on each stream's watch thread and hop onto that queue; reports go to the delegation
// queue. Owned by the hub service; make it with `create`.

#include <cstdint>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "KestromKit/hubs/DeviceManager.h"
#include "KestromKit/hubs/DeviceManagerReporter.h"
#include "KestromKit/hubs/SerialDevice.h"
#include "KestromKit/hubs/SerialDeviceMonitor.h"
#include "KestromKit/hubs/StreamHops.h"
#include "platform/serial/SerialPorts.h"
#include "platform/serial/SerialStream.h"

namespace kestrom {

class macOSUSBDeviceManager final : public DeviceManager,
                                    public std::enable_shared_from_this<macOSUSBDeviceManager> {
 public:
  /// `ports` is the registry the monitor polls (udev, or a fake in tests).
  static std::shared_ptr<macOSUSBDeviceManager> create(std::shared_ptr<dispatch::Queue> delegationQueue,
                                                       log::Logger log,
                                                       std::shared_ptr<serial::SerialPorts> ports);
  ~macOSUSBDeviceManager() override;
  macOSUSBDeviceManager(const macOSUSBDeviceManager&) = delete;
  macOSUSBDeviceManager& operator=(const macOSUSBDeviceManager&) = delete;

  /// The record reported for a port; none unless it has vendor and product ids and a serial number.
  static std::optional<IDeviceFound> deviceRecord(const SerialDevice& device);

  // DeviceManager
  void startScan(std::optional<std::vector<std::string>> bleServices) override;
  void setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate) override;
  /// Reports a stopped scan, once per call, whether or not a scan ran.
  void stopScan() override;
  void connect(const std::string& id) override;
  void disconnect(const std::string& id) override;
  void send(std::string bytes, const std::string& id) override;
  /// Whether the hub's port is open now.
  bool isConnected(const std::string& id) override;

 private:
  /// One open hub. On Linux one descriptor serves both directions: the stream stands for the
  /// input and output streams a hub would otherwise have.
  struct Connection {
    std::shared_ptr<serial::SerialStream> stream;
    std::uint64_t number = 0;        // tells this opening of the port from earlier ones
    std::size_t unsentMessages = 0;  // handed to the stream, not yet written
  };

  macOSUSBDeviceManager(std::shared_ptr<dispatch::Queue> delegationQueue, log::Logger log);

  void startScanning();
  void stopScanning();
  void onSerialDevice(SerialDeviceNotification notification, const SerialDevice& device, std::uint64_t scan);
  void onSend(const std::string& id, std::string bytes);
  void onData(std::uint64_t number, const std::string& id, std::string bytes);
  void onWritten(std::uint64_t number, const std::string& id, const std::optional<std::string>& error);
  void onStreamEnded(std::uint64_t number, const std::string& id, const std::string& reason);
  /// Closes the hub's port, dropping what was not written, and reports it disconnected, whether
  /// or not it was open.
  void close(const std::string& id);
  bool isCurrentConnection(std::uint64_t number, const std::string& id) const;
  friend class StreamHops<macOSUSBDeviceManager>;

  const std::string tag_ = "macOSUSBDeviceManager";
  const std::shared_ptr<dispatch::Queue> queue_;
  const log::Logger log_;
  DeviceManagerReporter reporter_;
  std::shared_ptr<SerialDeviceMonitor> usbScanner_;

  // Main queue only.
  std::map<std::string, SerialDevice> devices_;  // by serial number ("" for a port without one)
  bool scanning_ = false;
  std::jthread thread_;                  // runs the monitor's loop while scanning
  std::atomic<std::uint64_t> scan_ = 0;  // announcements of an earlier scan are dropped
  std::uint64_t nextConnection_ = 1;

  // "macOSUSBDeviceManager" queue only.
  std::map<std::string, Connection> connections_;
};

}  // namespace kestrom

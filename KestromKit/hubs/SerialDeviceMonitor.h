#pragma once
// Polls the device registry for USB serial ports, keeps the ports of the last poll and announces
// them: "SerialDeviceRemoved" once for each port gone since the last poll, then "SerialDeviceFound"
// for every port present, whether or not it was there before. No registry change events are used:
// one query per interval.
//
// Home: the thread that runs `start` (the USB transport makes one per scan and joins it before it
// makes the next); `serialDevices` and every announcement belong to it, and `poll` and `scan`
// check it while a loop runs. Outside a loop, one thread at a time may poll. Owned by the USB
// transport.

#include <atomic>
#include <functional>
#include <memory>
#include <stop_token>
#include <thread>
#include <vector>

#include "KestromKit/hubs/SerialDevice.h"
#include "platform/serial/SerialPorts.h"

namespace kestrom {

/// "SerialDeviceFound" or "SerialDeviceRemoved".
enum class SerialDeviceNotification { found, removed };

class SerialDeviceMonitor {
 public:
  /// Receives each announcement on the polling thread; it should only hand it on to its owner.
  using Observer = std::function<void(SerialDeviceNotification, const SerialDevice&)>;
  using Filter = std::function<std::vector<SerialDevice>(std::vector<SerialDevice>)>;

  SerialDeviceMonitor(std::shared_ptr<serial::SerialPorts> ports, Observer observer, float portUsageIntervalTime,
                      Filter filterDevices = {});

  /// The polling loop: polls, then sleeps the interval, until `stop` is requested (a poll under
  /// way is finished first; a stop during the pause ends the loop at once).
  void start(std::stop_token stop);
  /// One poll: queries the registry and announces. A registry that cannot be read skips the poll
  /// (nothing announced, the last poll's ports kept).
  void poll();
  /// The announcements for a poll that found `ports`, in registry order.
  void scan(std::vector<SerialDevice> ports);

  const std::vector<SerialDevice>& serialDevices() const { return serialDevices_; }
  void setPortUsageIntervalTime(float seconds) { portUsageIntervalTime_ = seconds; }
  void setFilterDevices(Filter filter) { filterDevices_ = std::move(filter); }

 private:
  /// Whether the caller may poll: it runs the loop, or no loop runs.
  bool isHome() const;

  const std::shared_ptr<serial::SerialPorts> ports_;
  const Observer observer_;
  std::vector<SerialDevice> serialDevices_;
  float portUsageIntervalTime_;
  Filter filterDevices_;
  std::atomic<std::thread::id> loopThread_{};  // none while no loop runs
};

}  // namespace kestrom

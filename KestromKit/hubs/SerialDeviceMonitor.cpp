#include "KestromKit/hubs/SerialDeviceMonitor.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "KestromKit/base/Constants.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace {

// The pause in whole microseconds, as a 32-bit count; a value that does not fit (not finite,
// negative, over 71 minutes) is a programming error taken as the usual half second.
std::chrono::microseconds pauseFor(float seconds) {
  const double micros = static_cast<double>(seconds) * 1'000'000.0;
  if (!std::isfinite(micros) || micros <= -1.0 || micros >= 4294967296.0) return std::chrono::milliseconds(500);
  return std::chrono::microseconds(static_cast<std::uint32_t>(std::max(0.0, micros)));
}

SerialDevice deviceFor(const serial::SerialPort& port) {
  return SerialDevice{
      .path = port.path,
      .name = port.product,
      .vendorName = port.manufacturer,
      .serialNumber = port.serialNumber.empty() ? std::nullopt : std::optional<std::string>(port.serialNumber),
      .vendorId = port.vendorId,
      .productId = port.productId,
  };
}

}  // namespace

SerialDeviceMonitor::SerialDeviceMonitor(std::shared_ptr<serial::SerialPorts> ports, Observer observer,
                                         float portUsageIntervalTime, Filter filterDevices)
    : ports_(std::move(ports)),
      observer_(std::move(observer)),
      portUsageIntervalTime_(portUsageIntervalTime),
      filterDevices_(std::move(filterDevices)) {}

bool SerialDeviceMonitor::isHome() const {
  const std::thread::id loop = loopThread_.load();
  return loop == std::thread::id{} || loop == std::this_thread::get_id();
}

void SerialDeviceMonitor::start(std::stop_token stop) {
  loopThread_ = std::this_thread::get_id();
  std::mutex mutex;
  std::condition_variable_any wake;
  while (!stop.stop_requested()) {
    poll();
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, pauseFor(portUsageIntervalTime_), [] { return false; });
  }
  loopThread_ = std::thread::id{};
}

void SerialDeviceMonitor::poll() {
  KESTROM_ASSERT_ON_HOME(isHome(), "the monitor's polling thread");
  auto ports = ports_->ports();
  if (!ports) {
    Constants::log().bluetooth.error("SerialDeviceMonitor - cannot list the serial ports: %s", ports.error());
    return;
  }
  std::vector<SerialDevice> devices;
  devices.reserve(ports->size());
  for (const serial::SerialPort& port : *ports) devices.push_back(deviceFor(port));
  scan(std::move(devices));
}

void SerialDeviceMonitor::scan(std::vector<SerialDevice> ports) {
  KESTROM_ASSERT_ON_HOME(isHome(), "the monitor's polling thread");
  if (filterDevices_) ports = filterDevices_(std::move(ports));
  for (const SerialDevice& previous : serialDevices_) {
    if (std::find(ports.begin(), ports.end(), previous) == ports.end())
      observer_(SerialDeviceNotification::removed, previous);
  }
  serialDevices_ = std::move(ports);
  for (const SerialDevice& device : serialDevices_) observer_(SerialDeviceNotification::found, device);
}

}  // namespace kestrom

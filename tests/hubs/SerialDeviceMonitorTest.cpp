// The serial device monitor over a port list the test sets: what each poll announces, and the
// polling loop on a thread of its own until it is stopped.

#include <gtest/gtest.h>

#include <thread>

#include "KestromKit/hubs/SerialDeviceMonitor.h"
#include "platform/serial/FakeSerialPorts.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;

serial::SerialPort port(std::string path, std::string product, std::string serialNumber = "S") {
  return {.path = std::move(path), .product = std::move(product), .manufacturer = "Maker",
          .serialNumber = std::move(serialNumber), .vendorId = 0x0694, .productId = 2};
}

class SerialDeviceMonitorTest : public ::testing::Test {
 protected:
  /// "found /dev/a Name" / "removed /dev/a Name", in the order announced.
  std::vector<std::string> poll() {
    std::lock_guard lock(mutex);
    announced.clear();
    monitor.poll();
    return announced;
  }

  std::shared_ptr<serial::FakeSerialPorts> ports = std::make_shared<serial::FakeSerialPorts>();
  std::mutex mutex;
  std::vector<std::string> announced;
  SerialDeviceMonitor monitor{ports,
                              [this](SerialDeviceNotification what, const SerialDevice& device) {
                                announced.push_back(std::string(what == SerialDeviceNotification::found ? "found " : "removed ") +
                                                    device.path + " " + device.name.value_or("-"));
                              },
                              0.5f};
};

TEST_F(SerialDeviceMonitorTest, AnnouncesRemovedPortsOnceThenEveryPresentPortEachPoll) {
  EXPECT_TRUE(poll().empty());  // no ports: nothing to say

  ports->setPorts({port("/dev/a", "Hub A", "SA"), port("/dev/b", "Hub B", "")});
  EXPECT_EQ(poll(), (std::vector<std::string>{"found /dev/a Hub A", "found /dev/b Hub B"}));
  EXPECT_EQ(poll(), (std::vector<std::string>{"found /dev/a Hub A", "found /dev/b Hub B"}));
  EXPECT_EQ(monitor.serialDevices()[0].serialNumber, "SA");
  EXPECT_EQ(monitor.serialDevices()[1].serialNumber, std::nullopt);  // none is absent, not empty

  // Renamed but on the same path: the same port, found again under its new name.
  ports->setPorts({port("/dev/a", "Renamed"), port("/dev/b", "Hub B")});
  EXPECT_EQ(poll(), (std::vector<std::string>{"found /dev/a Renamed", "found /dev/b Hub B"}));

  // One of two unplugged.
  ports->setPorts({port("/dev/b", "Hub B")});
  EXPECT_EQ(poll(), (std::vector<std::string>{"removed /dev/a Renamed", "found /dev/b Hub B"}));

  // A registry that cannot be read skips the poll and keeps what it knew.
  ports->failNextQuery("udev is gone");
  EXPECT_TRUE(poll().empty());
  ASSERT_EQ(monitor.serialDevices().size(), 1u);

  // A filter that keeps nothing makes every known port removed.
  monitor.setFilterDevices([](std::vector<SerialDevice>) { return std::vector<SerialDevice>{}; });
  EXPECT_EQ(poll(), (std::vector<std::string>{"removed /dev/b Hub B"}));
  EXPECT_TRUE(poll().empty());
}

TEST_F(SerialDeviceMonitorTest, TheLoopPollsUntilItsThreadIsStoppedAndEndsWithoutWaitingOutThePause) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  monitor.setPortUsageIntervalTime(0.01f);
  {
    std::jthread loop([this](std::stop_token stop) { monitor.start(std::move(stop)); });
    while (ports->queryCount() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  }  // stops and joins
  EXPECT_GE(ports->queryCount(), 3);
  const int polls = ports->queryCount();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ports->queryCount(), polls);

  // Stopped during an hour's pause, the loop ends at once.
  monitor.setPortUsageIntervalTime(3600.0f);
  const auto started = std::chrono::steady_clock::now();
  {
    std::jthread loop([this](std::stop_token stop) { monitor.start(std::move(stop)); });
    while (ports->queryCount() == polls && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(ports->queryCount(), polls + 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
}

}  // namespace
}  // namespace kestrom

// The classic Bluetooth hub transport over the real BlueZ layer, against the fake Bluetooth
// service on a private bus; the test plays the hub on its end of the serial link.

#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "KestromKit/hubs/macOSBluetoothDeviceManager.h"
#include "platform/bluetooth/BlueZClassicBluetooth.h"
#include "tests/bluetoothhubs/HubTransportTest.h"
#include "tests/support/bluez/SampleHubs.h"
#include "tests/support/Eventually.h"

namespace kestrom::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kHubAddress = kClassicHubAddress;

FakeDevice classicHub(std::int16_t rssi = -50) {
  FakeDevice d = sampleClassicHub();
  d.rssi = rssi;
  return d;
}

using kestrom::test::eventually;

/// Reads from the hub's end until `count` bytes came or nothing comes for a long while.
std::string readFromHost(int fd, std::size_t count) {
  std::string out;
  char buffer[65536];
  while (out.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - out.size()), 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

class macOSBluetoothDeviceManagerTest : public HubTransportTest<macOSBluetoothDeviceManager> {
 protected:
  macOSBluetoothDeviceManagerTest() : HubTransportTest("a classic Bluetooth hub test") {}

  void startManager(std::chrono::milliseconds connectTimeout = 15s,
                    std::chrono::milliseconds clearInterval = 5s) {
    macOSBluetoothDeviceManager::Options options;
    options.clearInterval = clearInterval;
    manager_ = macOSBluetoothDeviceManager::create(
        delegationQueue_, log::Logger("Kestrom", "Bluetooth"), true,
        [connectTimeout] {
          bluetooth::BlueZClassicBluetooth::Options o;
          o.connectTimeout = connectTimeout;
          return std::make_shared<bluetooth::BlueZClassicBluetooth>(o);
        },
        options);
    manager_->setDelegate(recorder_);
  }

  /// Finds and connects the hub; the hub's end of the link.
  OwnedFd connectHub() {
    manager_->startScan(std::nullopt);
    EXPECT_TRUE(eventually([&] { return fake_->advertise(classicHub()); }));
    EXPECT_TRUE(recorder_->waitFor("found", kHubAddress));
    manager_->connect(kHubAddress);
    EXPECT_TRUE(recorder_->waitFor("connected", kHubAddress));
    return fake_->takeSocket(kHubAddress);
  }
};

TEST_F(macOSBluetoothDeviceManagerTest, DiscoversBrEdrHubsAndReportsThemAgainAfterTheFoundListIsCleared) {
  startManager(15s, 300ms);
  manager_->startScan(std::nullopt);
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  auto filter = fake_->lastDiscoveryFilter();
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->transport, "bredr");

  ASSERT_TRUE(fake_->advertise(classicHub()));
  auto found = recorder_->waitFor("found", kHubAddress);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->device.name, "NXT");
  EXPECT_EQ(found->device.type, HubConnectionType::bluetoothClassic);
  EXPECT_FALSE(found->device.ble);
  EXPECT_FALSE(found->device.btc);

  // Seen again once the list was cleared (the signal strength changes on every sighting).
  std::int16_t rssi = -51;
  EXPECT_TRUE(eventually([&] {
    fake_->advertise(classicHub(rssi--));
    return recorder_->count("found") >= 2;
  }));

  manager_->stopScan();
  EXPECT_TRUE(eventually([&] { return !fake_->discovering(); }));
  manager_->stopScan();
  ASSERT_TRUE(recorder_->waitForCount("scanningStopped", 2, std::chrono::seconds(20)));
  EXPECT_EQ(recorder_->count("scanningStopped"), 2u) << "each stop is reported once, a running discovery's too";
}

TEST_F(macOSBluetoothDeviceManagerTest, WritesEveryMessageInOrderThroughAFullSocketAndPassesReadsOn) {
  startManager();
  OwnedFd hubEnd = connectHub();
  ASSERT_TRUE(hubEnd);
  EXPECT_TRUE(manager_->isConnected(kHubAddress));
  EXPECT_EQ(fake_->registeredProfiles(), 1);

  // Far more than the socket holds: pieces wait for room, one in flight, and the second
  // message's bytes follow the first's.
  std::string big(3 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 1000);
  manager_->send(big, kHubAddress);
  manager_->send("tail", kHubAddress);
  std::this_thread::sleep_for(100ms);  // let the socket fill up before the hub reads
  EXPECT_EQ(readFromHost(hubEnd.get(), big.size() + 4), big + "tail");
  ASSERT_TRUE(recorder_->waitFor("sendCompleted", kHubAddress));

  const std::string reply("\x03\x00\x02", 3);
  ASSERT_EQ(::send(hubEnd.get(), reply.data(), reply.size(), MSG_NOSIGNAL), 3);
  EXPECT_TRUE(eventually([&] { return recorder_->received(kHubAddress) == reply; }));

  manager_->send("", kHubAddress);
  EXPECT_TRUE(recorder_->waitForCount("sendCompleted", 2)) << "an empty message completes at once";
}

TEST_F(macOSBluetoothDeviceManagerTest, AnAttemptThatGetsNoLinkEndsAfterItsTimeOutAndTheNextOneConnects) {
  startManager(800ms);
  manager_->startScan(std::nullopt);
  ASSERT_TRUE(eventually([&] { return fake_->advertise(classicHub()); }));
  ASSERT_TRUE(recorder_->waitFor("found", kHubAddress));

  fake_->stall("ConnectProfile");
  manager_->connect(kHubAddress);
  manager_->connect(kHubAddress);  // joins the attempt under way
  ASSERT_TRUE(recorder_->waitFor("connectFailed", kHubAddress));
  fake_->release("ConnectProfile");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(recorder_->count("connectFailed"), 1u);
  EXPECT_EQ(recorder_->count("connected"), 0u) << "a link handed over after the time-out is refused";

  manager_->connect(kHubAddress);
  ASSERT_TRUE(recorder_->waitFor("connected", kHubAddress));
  manager_->connect("00:00:00:00:00:01");
  EXPECT_TRUE(recorder_->waitFor("connectFailed", "00:00:00:00:00:01"));
}

TEST_F(macOSBluetoothDeviceManagerTest, AHubThatHangsUpIsDisconnectedAndCanBeConnectedAndWrittenAgain) {
  startManager();
  OwnedFd hubEnd = connectHub();
  hubEnd.reset();
  ASSERT_TRUE(recorder_->waitFor("disconnected", kHubAddress));
  EXPECT_FALSE(manager_->isConnected(kHubAddress));

  manager_->connect(kHubAddress);
  ASSERT_TRUE(recorder_->waitForCount("connected", 2));
  OwnedFd again = fake_->takeSocket(kHubAddress);
  manager_->send("hello", kHubAddress);
  EXPECT_EQ(readFromHost(again.get(), 5), "hello");
  ASSERT_TRUE(recorder_->waitFor("sendCompleted", kHubAddress));

  manager_->disconnect(kHubAddress);
  ASSERT_TRUE(recorder_->waitForCount("disconnected", 2));
  EXPECT_EQ(readFromHost(again.get(), 1), "") << "the host closed its end";
  manager_->disconnect(kHubAddress);
  EXPECT_TRUE(recorder_->waitForCount("disconnected", 3)) << "a hub not connected is still reported";
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(recorder_->count("disconnected"), 3u);
}

TEST_F(macOSBluetoothDeviceManagerTest, BluetoothSwitchedOffDropsTheLinksThenAsksOnce) {
  startManager();
  OwnedFd hubEnd = connectHub();
  recorder_->clear();
  fake_->setPowered(false);
  ASSERT_TRUE(recorder_->waitFor("bluetoothUnavailable"));
  ASSERT_TRUE(recorder_->waitFor("scanningStopped"));
  auto kinds = recorder_->kinds();
  ASSERT_GE(kinds.size(), 2u);
  EXPECT_EQ(kinds[0], "disconnected");
  EXPECT_EQ(kinds[1], "bluetoothUnavailable");
  EXPECT_EQ(recorder_->count("disconnected"), 1u);
  EXPECT_EQ(recorder_->count("bluetoothUnavailable"), 1u);

  fake_->setPowered(true);
  recorder_->retry();
  manager_->startScan(std::nullopt);
  EXPECT_TRUE(eventually([&] { return fake_->discovering(); }));
}

}  // namespace
}  // namespace kestrom::testing

// The Bluetooth LE hub transport over the real BlueZ central, against the fake Bluetooth service
// on a private bus.

#include <gtest/gtest.h>

#include "KestromKit/base/Base64.h"
#include "KestromKit/hubs/QenBLEDeviceManager.h"
#include "platform/bluetooth/BlueZBleCentral.h"
#include "tests/bluetoothhubs/HubTransportTest.h"
#include "tests/support/bluez/SampleHubs.h"
#include "tests/support/Eventually.h"

namespace kestrom::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kHubAddress = kLeHubAddress;

FakeDevice hub() { return sampleLeHub(); }

using kestrom::test::eventually;

class QenBLEDeviceManagerTest : public HubTransportTest<QenBLEDeviceManager> {
 protected:
  QenBLEDeviceManagerTest() : HubTransportTest("a Bluetooth LE hub test") {}

  void startManager(std::chrono::milliseconds connectTimeout = 20s) {
    manager_ = QenBLEDeviceManager::create(delegationQueue_, log::Logger("Kestrom", "Bluetooth"), [connectTimeout] {
      bluetooth::BlueZBleCentral::Options options;
      options.connectTimeout = connectTimeout;
      return std::make_shared<bluetooth::BlueZBleCentral>(options);
    });
    manager_->setDelegate(recorder_);
  }

  /// Scans for the hub service and returns the id of the hub found.
  std::string findHub(const FakeDevice& device = hub()) {
    manager_->startScan(std::vector<std::string>{kHubService});
    EXPECT_TRUE(eventually([&] { return fake_->advertise(device); }));
    auto found = recorder_->waitFor("found");
    EXPECT_TRUE(found);
    return found ? found->id : "";
  }

  /// Finds the hub, then waits until the service has dropped it; returns its id.
  std::string findAndForgetHub() {
    fake_->setTemporaryTimeout(100ms);
    startManager(5s);
    const std::string id = findHub();
    manager_->stopScan();
    EXPECT_TRUE(eventually([&] { return !fake_->listed(kHubAddress); }));
    return id;
  }

  std::string connectHub() {
    std::string id = findHub();
    manager_->stopScan();
    manager_->connect(id);
    EXPECT_TRUE(recorder_->waitFor("connected", id));
    return id;
  }
};

TEST_F(QenBLEDeviceManagerTest, AHubTheServiceForgotAfterDiscoveryStaysConnectable) {
  const std::string id = findAndForgetHub();
  manager_->connect(id);
  ASSERT_TRUE(recorder_->waitFor("connected", id));
  EXPECT_TRUE(manager_->isConnected(id));
  EXPECT_TRUE(fake_->notifying(kHubAddress, kHubCharacteristic));
  EXPECT_EQ(recorder_->count("found"), 1u) << "looking for the hub again is no scan";
}

TEST_F(QenBLEDeviceManagerTest, AForgottenHubOutsideThePagesFilterConnectsWhenAskedForRightBehindAScanStart) {
  const std::string id = findAndForgetHub();
  manager_->startScan(std::vector<std::string>{"180D"});
  manager_->connect(id);
  ASSERT_TRUE(recorder_->waitFor("connected", id));
  EXPECT_TRUE(fake_->discovering()) << "the page's scan goes on";
  EXPECT_EQ(recorder_->count("found"), 1u) << "the page hears only of hubs that meet its filter";
}

TEST_F(QenBLEDeviceManagerTest, ReportsHubsWithTheirManufacturerDataAndConnectsThroughWhicheverServiceHasTheCharacteristic) {
  startManager();
  manager_->startScan(std::vector<std::string>{"not a uuid", "180D", kHubService});
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  auto filter = fake_->lastDiscoveryFilter();
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->transport, "le");
  EXPECT_EQ(filter->uuids, (std::vector<std::string>{"0000180d-0000-1000-8000-00805f9b34fb", kHubService}));

  FakeDevice bare = hub();
  bare.address = "90:84:2B:0A:0B:0C";
  bare.manufacturerData = {{0x0397, {}}};  // an identifier without a payload is of no use
  ASSERT_TRUE(fake_->advertise(bare));
  ASSERT_TRUE(fake_->advertise(hub()));
  auto found = recorder_->waitFor("found");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->id, bluetooth::BlueZBleCentral::peripheralId(FakeBluez::kAdapterAddress, kHubAddress));
  EXPECT_EQ(found->device.name, "Technic Hub");
  EXPECT_EQ(found->device.type, HubConnectionType::bluetoothLowenergy);
  ASSERT_TRUE(found->device.ble);
  EXPECT_EQ(found->device.ble->rssi, -48);
  EXPECT_EQ(found->device.ble->manufacturerData,
            (std::map<std::string, std::string>{{"919", base64Encode(std::string("\x00\x80\x06\x00\x61\x00", 6))}}));
  EXPECT_FALSE(found->device.btc);
  EXPECT_FALSE(found->device.serial);

  manager_->stopScan();
  ASSERT_TRUE(recorder_->waitFor("scanningStopped"));
  EXPECT_TRUE(eventually([&] { return !fake_->discovering(); }));

  manager_->connect(found->id);
  ASSERT_TRUE(recorder_->waitFor("connected", found->id));
  EXPECT_TRUE(fake_->notifying(kHubAddress, kHubCharacteristic));
  EXPECT_TRUE(manager_->isConnected(found->id));
  EXPECT_EQ(recorder_->count("found"), 1u) << "the advertisement without a payload is not reported";

  manager_->connect("00000000-0000-0000-0000-000000000000");
  EXPECT_TRUE(recorder_->waitFor("connectFailed", "00000000-0000-0000-0000-000000000000"));
}

TEST_F(QenBLEDeviceManagerTest, WritesEveryMessageWholeWithResponseOneAtATimeInOrderAndPassesNotificationsOn) {
  startManager();
  const std::string id = connectHub();
  const std::vector<std::string> messages{std::string(20, 'a'), "\x05\x00\x01\x02\x03", std::string(120, 'z')};
  for (const auto& message : messages) manager_->send(message, id);
  ASSERT_TRUE(recorder_->waitForCount("sendCompleted", messages.size()));

  auto writes = fake_->writes();
  ASSERT_EQ(writes.size(), messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(std::string(writes[i].value.begin(), writes[i].value.end()), messages[i]);
    EXPECT_EQ(writes[i].type, "request");
    EXPECT_EQ(writes[i].characteristic, kHubCharacteristic);
  }
  EXPECT_EQ(fake_->maxWritesInFlight(), 1);

  // The fake echoes every written value as a notification; the hub may also speak by itself.
  fake_->notify(kHubAddress, kHubCharacteristic, {0x0f, 0x00, 0x04});
  const std::string expected = messages[0] + messages[1] + messages[2] + std::string("\x0f\x00\x04", 3);
  EXPECT_TRUE(eventually([&] { return recorder_->received(id) == expected; }));
}

TEST_F(QenBLEDeviceManagerTest, AConnectEndsInAFailureWhenNoServiceHasTheCharacteristicOrTheLinkDrops) {
  startManager(2s);
  FakeDevice plain = hub();
  plain.services = {{kBatteryService, {{kBatteryLevel, {"read", "notify"}}}}};
  const std::string id = findHub(plain);
  manager_->connect(id);
  ASSERT_TRUE(recorder_->waitFor("connectFailed", id));
  EXPECT_TRUE(eventually([&] { return !fake_->connected(kHubAddress); })) << "the link is let go";

  fake_->stall("Connect");
  manager_->connect(id);
  EXPECT_TRUE(recorder_->waitForCount("connectFailed", 2)) << "the connection time-out ends the attempt";
  fake_->release("Connect");
  EXPECT_EQ(recorder_->count("disconnected"), 0u) << "the page never heard of these links";
  EXPECT_EQ(recorder_->count("connected"), 0u);
}

TEST_F(QenBLEDeviceManagerTest, AfterAWriteErrorOrADisconnectTheHubCanBeConnectedAndWrittenAgain) {
  startManager();
  std::string id = connectHub();
  fake_->failNext("WriteValue", "org.bluez.Error.Failed");
  manager_->send("first", id);
  ASSERT_TRUE(recorder_->waitFor("disconnected", id));
  EXPECT_EQ(recorder_->count("sendCompleted"), 0u);
  EXPECT_FALSE(manager_->isConnected(id));

  manager_->connect(id);
  ASSERT_TRUE(recorder_->waitForCount("connected", 2));
  manager_->send("second", id);
  ASSERT_TRUE(recorder_->waitFor("sendCompleted", id));

  manager_->disconnect(id);
  ASSERT_TRUE(recorder_->waitForCount("disconnected", 2));
  EXPECT_TRUE(eventually([&] { return !fake_->connected(kHubAddress); }));
  manager_->connect(id);
  ASSERT_TRUE(recorder_->waitForCount("connected", 3));
  manager_->send("third", id);
  ASSERT_TRUE(recorder_->waitForCount("sendCompleted", 2));
  auto writes = fake_->writes();
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(std::string(writes.back().value.begin(), writes.back().value.end()), "third");
}

TEST_F(QenBLEDeviceManagerTest, AHubThatVanishesMidWriteIsReportedDisconnectedOnce) {
  startManager(3s);
  std::string id = connectHub();
  fake_->stall("WriteValue");
  manager_->send("never answered", id);
  ASSERT_TRUE(eventually([&] { return fake_->stalledCalls("WriteValue") == 1; }));
  fake_->removeDevice(kHubAddress);
  ASSERT_TRUE(recorder_->waitFor("disconnected", id));
  fake_->release("WriteValue");
  manager_->connect(id);
  EXPECT_TRUE(recorder_->waitFor("connectFailed", id)) << "a hub out of range is looked for, then given up";
  EXPECT_EQ(recorder_->count("disconnected"), 1u);
  EXPECT_EQ(recorder_->count("sendCompleted"), 0u);
}

TEST_F(QenBLEDeviceManagerTest, BluetoothSwitchedOffMidScanDisconnectsHubsThenAsksOnceAndLaterStopsTheScan) {
  startManager();
  std::string id = connectHub();
  manager_->startScan(std::vector<std::string>{kHubService});
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  recorder_->clear();

  fake_->setPowered(false);
  ASSERT_TRUE(recorder_->waitFor("bluetoothUnavailable"));
  EXPECT_EQ(recorder_->kinds(), (std::vector<std::string>{"disconnected", "bluetoothUnavailable"}));
  EXPECT_FALSE(manager_->isConnected(id));

  // The user dismissed the alert with Bluetooth still off: a new central reads it as off, and
  // with no scan asked for since, the scan is reported stopped instead of asking again.
  recorder_->retry();
  ASSERT_TRUE(recorder_->waitFor("scanningStopped"));
  EXPECT_EQ(recorder_->count("bluetoothUnavailable"), 1u);
  EXPECT_EQ(recorder_->count("disconnected"), 1u);

  // Scanning while it is off asks again.
  manager_->startScan(std::nullopt);
  EXPECT_TRUE(recorder_->waitForCount("bluetoothUnavailable", 2));
}

TEST_F(QenBLEDeviceManagerTest, WithoutAnAdapterTheScanIsReportedStoppedAndAScanAsksForBluetooth) {
  fake_->removeAdapter();
  startManager();
  // The start-up report of a missing adapter can come before or after the first scan is asked
  // for (a scan waits for the adapter's state); what must follow the scan is the alert.
  (void)recorder_->waitForCount("scanningStopped", 1, std::chrono::seconds(5));
  manager_->startScan(std::vector<std::string>{kHubService});
  ASSERT_TRUE(recorder_->waitFor("bluetoothUnavailable"));
  fake_->addAdapter();
  recorder_->retry();
  manager_->startScan(std::vector<std::string>{kHubService});
  EXPECT_TRUE(eventually([&] { return fake_->discovering(); })) << "a new central finds the adapter";
}

}  // namespace
}  // namespace kestrom::testing

// The LE central against the fake Bluetooth service on a private bus.

#include <gtest/gtest.h>

#include "platform/bluetooth/BlueZBleCentral.h"
#include "platform/log/FakeLogSink.h"
#include "tests/bluetooth/Recorder.h"
#include "tests/support/bluez/FakeBluez.h"
#include "tests/support/bluez/PrivateBus.h"
#include "tests/support/bluez/Watchdog.h"
#include "tests/support/bluez/SampleHubs.h"

namespace kestrom::testing {
namespace {

using namespace std::chrono_literals;
using Kind = BluetoothError::Kind;

constexpr const char* kHubAddress = kLeHubAddress;

FakeDevice hub() { return sampleLeHub(); }

class BleCentralTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ = std::make_unique<FakeBluez>();
  }
  void TearDown() override {
    central_.reset();
    fake_.reset();
  }

  /// A central with its observer, once it has seen the adapter.
  void startCentral(std::chrono::milliseconds connectTimeout = 20s) {
    central_ = startLayer<BlueZBleCentral>(connectTimeout, recorder_);
    ASSERT_TRUE(central_);
  }

  /// Scans, finds the hub, connects and looks up its characteristic; returns its id.
  std::string connectHub() {
    central_->startScan({kHubService});
    EXPECT_TRUE(eventually([&] { return fake_->advertise(hub()); }));
    auto found = recorder_->waitFor("found");
    EXPECT_TRUE(found);
    std::string id = found ? found->id : "";
    central_->stopScan();
    central_->connect(id);
    EXPECT_TRUE(recorder_->waitFor("connected", id));
    return id;
  }

  Watchdog watchdog_{"a Bluetooth LE test", 90s};
  PrivateBus bus_;
  std::unique_ptr<FakeBluez> fake_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::unique_ptr<BlueZBleCentral> central_;
};

TEST_F(BleCentralTest, ScansWithTheServiceFilterAndReportsAdvertisements) {
  startCentral();
  EXPECT_EQ(central_->adapterState(), AdapterState::poweredOn);
  central_->startScan({"not a uuid", "00001623-1212-EFDE-1623-785FEABCD123", "180D"});
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));

  auto filter = fake_->lastDiscoveryFilter();
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->transport, "le");
  EXPECT_EQ(filter->uuids, (std::vector<std::string>{kHubService, "0000180d-0000-1000-8000-00805f9b34fb"}));

  FakeDevice other;
  other.address = "11:22:33:44:55:66";
  other.uuids = {"0000fff0-0000-1000-8000-00805f9b34fb"};
  EXPECT_FALSE(fake_->advertise(other)) << "the filter keeps devices without the hub service out";

  ASSERT_TRUE(fake_->advertise(hub()));
  auto found = recorder_->waitFor("found");
  ASSERT_TRUE(found);
  const auto& p = found->peripheral;
  EXPECT_EQ(p.address, kHubAddress);
  EXPECT_EQ(p.name, "Technic Hub");
  EXPECT_EQ(p.rssi, -48);
  EXPECT_EQ(p.manufacturerData, (std::map<std::uint16_t, Bytes>{{0x0397, {0x00, 0x80, 0x06, 0x00, 0x61, 0x00}}}));
  EXPECT_EQ(p.id, BlueZBleCentral::peripheralId(FakeBluez::kAdapterAddress, kHubAddress));
  EXPECT_EQ(p.id.size(), 36u);
  EXPECT_EQ(p.id.find_first_of("abcdef"), std::string::npos) << p.id;
  EXPECT_NE(p.id, BlueZBleCentral::peripheralId("00:00:00:00:00:01", kHubAddress));

  auto louder = hub();
  louder.rssi = -30;
  ASSERT_TRUE(fake_->advertise(louder));
  auto again = recorder_->waitFor([](const Event& e) { return e.kind == "found" && e.peripheral.rssi == -30; });
  ASSERT_TRUE(again);
  EXPECT_EQ(again->id, p.id);

  central_->stopScan();
  EXPECT_TRUE(eventually([&] { return !fake_->discovering(); }));
  EXPECT_TRUE(recorder_->events("scanStopped").empty()) << "stopScan itself is not reported";
}

TEST_F(BleCentralTest, ScanStartsBackToBackLeaveDiscoveryOnWithTheLatestFilter) {
  startCentral();
  central_->startScan({"180D"});
  central_->startScan({kHubService});
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  ASSERT_TRUE(eventually([&] { return fake_->advertise(hub()); })) << "the latest filter takes the hub";
  EXPECT_TRUE(recorder_->waitFor("found"));
  auto filter = fake_->lastDiscoveryFilter();
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->uuids, (std::vector<std::string>{kHubService}));
}

TEST_F(BleCentralTest, AFilteredScanLeavesOutPeripheralsTheServiceKnewAlready) {
  startCentral();
  // Listed by an unfiltered scan first, so the service knows it whatever a later filter says.
  central_->startScan({});
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  ASSERT_TRUE(fake_->advertise(hub()));
  ASSERT_TRUE(recorder_->waitFor("found"));
  auto found = recorder_->events("found").front();
  EXPECT_EQ(found.peripheral.uuids, (std::vector<std::string>{kHubService}));
  central_->stopScan();
  ASSERT_TRUE(eventually([&] { return !fake_->discovering(); }));

  recorder_->clear();
  central_->startScan({"180D"});
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  FakeDevice heartRate;
  heartRate.address = "11:22:33:44:55:66";
  heartRate.uuids = {"0000180d-0000-1000-8000-00805f9b34fb"};
  heartRate.manufacturerData = {{0x0001, {0x01}}};
  auto louder = hub();
  louder.rssi = -20;
  ASSERT_TRUE(fake_->advertise(louder)) << "still listed from the earlier scan";
  ASSERT_TRUE(fake_->advertise(heartRate));
  ASSERT_TRUE(recorder_->waitFor("found", BlueZBleCentral::peripheralId(FakeBluez::kAdapterAddress, heartRate.address)));
  for (const auto& event : recorder_->events("found")) EXPECT_NE(event.peripheral.address, kHubAddress);
}

TEST_F(BleCentralTest, ConnectsAPeripheralTheServiceDroppedByLookingForItsAddress) {
  fake_->setTemporaryTimeout(100ms);
  startCentral(3s);
  central_->startScan({kHubService});
  ASSERT_TRUE(eventually([&] { return fake_->advertise(hub()); }));
  auto found = recorder_->waitFor("found");
  ASSERT_TRUE(found);
  const std::string id = found->id;
  central_->stopScan();
  ASSERT_TRUE(recorder_->waitFor("vanished", id)) << "dropped a while after discovery ended";
  EXPECT_FALSE(fake_->listed(kHubAddress));

  recorder_->clear();
  central_->connect(id);
  ASSERT_TRUE(recorder_->waitFor("connected", id));
  auto filter = fake_->lastDiscoveryFilter();
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->pattern, kHubAddress);
  EXPECT_EQ(filter->transport, "le");
  EXPECT_TRUE(eventually([&] { return !fake_->discovering(); })) << "the look ends with the connection";
  EXPECT_TRUE(recorder_->events("found").empty()) << "a look for one hub is not a scan";
  central_->disconnect(id);
  ASSERT_TRUE(recorder_->waitFor("disconnected", id));

  // Out of range for good: the look ends with the attempt's time-out.
  fake_->removeDevice(kHubAddress);
  ASSERT_TRUE(recorder_->waitFor("vanished", id));
  recorder_->clear();
  central_->connect(id);
  auto failed = recorder_->waitFor("connectFailed", id);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->error->kind, Kind::timedOut);
  EXPECT_TRUE(eventually([&] { return !fake_->discovering(); }));

  // Never seen at all: failed at once.
  central_->connect("00000000-0000-0000-0000-000000000000");
  auto unknown = recorder_->waitFor("connectFailed", "00000000-0000-0000-0000-000000000000");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->error->kind, Kind::notFound);
}

TEST_F(BleCentralTest, FindsTheCharacteristicOnAnyServiceNotifiesAndWritesOneAtATimeInOrder) {
  startCentral();
  std::string id = connectHub();
  EXPECT_TRUE(central_->isConnected(id));

  central_->findCharacteristic(id, "00001624-1212-EFDE-1623-785FEABCD123");
  central_->findCharacteristic(id, "00002a00-0000-1000-8000-00805f9b34fb");
  auto found = recorder_->waitFor([](const Event& e) { return e.kind == "characteristic" && !e.error; });
  ASSERT_TRUE(found);
  EXPECT_EQ(found->characteristic, "00001624-1212-EFDE-1623-785FEABCD123");
  auto missing = recorder_->waitFor([](const Event& e) { return e.kind == "characteristic" && e.error; });
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->error->kind, Kind::notFound);

  central_->subscribe(id, kHubCharacteristic);
  auto subscribed = recorder_->waitFor("subscribed", id);
  ASSERT_TRUE(subscribed);
  EXPECT_FALSE(subscribed->error);
  EXPECT_TRUE(fake_->notifying(kHubAddress, kHubCharacteristic));
  fake_->notify(kHubAddress, kHubCharacteristic, {0x05, 0x00, 0x01});
  auto value = recorder_->waitFor("value", id);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->value, (Bytes{0x05, 0x00, 0x01}));
  EXPECT_EQ(value->characteristic, kHubCharacteristic);

  constexpr int kWrites = 50;
  for (int i = 0; i < kWrites; ++i) {
    central_->write(id, kHubCharacteristic, {static_cast<std::uint8_t>(i), 0x81, 0x32});
  }
  ASSERT_TRUE(recorder_->waitForCount("written", kWrites));
  for (const auto& e : recorder_->events("written")) {
    EXPECT_FALSE(e.error) << e.error->message;
  }
  auto writes = fake_->writes();
  ASSERT_EQ(writes.size(), static_cast<std::size_t>(kWrites));
  for (int i = 0; i < kWrites; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(writes[i].value, (Bytes{static_cast<std::uint8_t>(i), 0x81, 0x32}));
    EXPECT_EQ(writes[i].type, "request");
    EXPECT_EQ(writes[i].characteristic, kHubCharacteristic);
  }
  EXPECT_EQ(fake_->maxWritesInFlight(), 1);
  // Every written value comes back as a notification while notifications are on.
  EXPECT_TRUE(recorder_->waitForCount("value", kWrites + 1));
}

TEST_F(BleCentralTest, ReportsTheAdapterGoingOffMidScanAndGoingMissing) {
  startCentral();
  std::string id = connectHub();
  central_->startScan({kHubService});
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));

  fake_->setPowered(false);
  EXPECT_TRUE(recorder_->waitFor([](const Event& e) { return e.kind == "adapter" && e.state == AdapterState::poweredOff; }));
  auto stopped = recorder_->waitFor("scanStopped");
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->error->kind, Kind::adapterUnavailable);
  EXPECT_TRUE(recorder_->waitFor("disconnected", id));
  EXPECT_FALSE(central_->isConnected(id));
  EXPECT_EQ(central_->adapterState(), AdapterState::poweredOff);

  recorder_->clear();
  central_->startScan({});
  auto refused = recorder_->waitFor("scanStopped");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->error->kind, Kind::adapterUnavailable);

  fake_->setPowered(true);
  EXPECT_TRUE(recorder_->waitFor([](const Event& e) { return e.kind == "adapter" && e.state == AdapterState::poweredOn; }));
  fake_->removeAdapter();
  EXPECT_TRUE(recorder_->waitFor([](const Event& e) { return e.kind == "adapter" && e.state == AdapterState::missing; }));
  EXPECT_TRUE(recorder_->waitFor("vanished", id));
  central_->connect(id);
  EXPECT_TRUE(recorder_->waitFor("connectFailed", id));

  // A central that starts while there is no adapter says so first.
  auto second = std::make_shared<Recorder>();
  BlueZBleCentral other;
  EXPECT_EQ(firstAdapterState(other, second), AdapterState::missing);
  fake_->addAdapter();
  EXPECT_TRUE(second->waitFor([](const Event& e) { return e.kind == "adapter" && e.state == AdapterState::poweredOn; }));
}

TEST_F(BleCentralTest, DeviceVanishingMidWriteEndsThatConnection) {
  startCentral();
  std::string id = connectHub();
  fake_->stall("WriteValue");
  central_->write(id, kHubCharacteristic, {0x01});
  central_->write(id, kHubCharacteristic, {0x02});
  ASSERT_TRUE(eventually([&] { return fake_->stalledCalls("WriteValue") == 1; }));

  fake_->removeDevice(kHubAddress);
  ASSERT_TRUE(recorder_->waitFor("vanished", id));
  auto events = recorder_->events();
  std::vector<std::string> tail;
  for (const auto& e : events) {
    if (e.kind == "written" || e.kind == "disconnected" || e.kind == "vanished") {
      tail.push_back(e.kind);
      if (e.kind == "written") {
        ASSERT_TRUE(e.error);
        EXPECT_EQ(e.error->kind, Kind::notConnected);
      }
    }
  }
  EXPECT_EQ(tail, (std::vector<std::string>{"written", "written", "disconnected", "vanished"}));
  EXPECT_FALSE(central_->isConnected(id));
  EXPECT_EQ(fake_->stalledCalls("WriteValue"), 1) << "the second write never went out";
}

TEST_F(BleCentralTest, ReconnectsAndWritesAgainAfterADisconnect) {
  startCentral();
  std::string id = connectHub();
  central_->write(id, kHubCharacteristic, {0x0a});
  ASSERT_TRUE(recorder_->waitFor("written", id));

  central_->disconnect(id);
  ASSERT_TRUE(recorder_->waitFor("disconnected", id));
  EXPECT_TRUE(eventually([&] { return !fake_->connected(kHubAddress); }));
  central_->write(id, kHubCharacteristic, {0x0b});
  ASSERT_TRUE(recorder_->waitForCount("written", 2));
  auto refused = recorder_->events("written")[1];
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->kind, Kind::notConnected);
  recorder_->clear();

  central_->connect(id);
  ASSERT_TRUE(recorder_->waitFor("connected", id));
  central_->write(id, kHubCharacteristic, {0x0c});
  auto written = recorder_->waitFor("written", id);
  ASSERT_TRUE(written);
  EXPECT_FALSE(written->error);
  auto writes = fake_->writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].value, Bytes{0x0c});
}

TEST_F(BleCentralTest, ConnectFailuresAndTimeOutsAreReported) {
  startCentral(400ms);
  central_->connect("00000000-0000-0000-0000-000000000000");
  auto unknown = recorder_->waitFor("connectFailed");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->error->kind, Kind::notFound);

  central_->startScan({});
  ASSERT_TRUE(eventually([&] { return fake_->advertise(hub()); }));
  auto found = recorder_->waitFor("found");
  ASSERT_TRUE(found);
  std::string id = found->id;

  recorder_->clear();
  fake_->failNext("Connect", "org.bluez.Error.Failed");
  central_->connect(id);
  auto refused = recorder_->waitFor("connectFailed", id);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->error->kind, Kind::failed);
  EXPECT_NE(refused->error->message.find("org.bluez.Error.Failed"), std::string::npos);

  recorder_->clear();
  fake_->stall("Connect");
  central_->connect(id);
  auto late = recorder_->waitFor("connectFailed", id);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->error->kind, Kind::timedOut);
  EXPECT_FALSE(central_->isConnected(id));

  // The stalled attempt answering late changes nothing; a new attempt works.
  recorder_->clear();
  fake_->release("Connect");
  central_->connect(id);
  EXPECT_TRUE(recorder_->waitFor("connected", id));
  EXPECT_EQ(recorder_->events("connected").size(), 1u);
}

TEST_F(BleCentralTest, WithoutASystemBusTheAdapterIsMissingAndEveryOperationFails) {
  std::string address = bus_.address();
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kestrom-no-bus", 1);
  auto recorder = std::make_shared<Recorder>();
  {
    BlueZBleCentral central;
    EXPECT_EQ(firstAdapterState(central, recorder), AdapterState::missing);
    central.startScan({});
    central.connect("4491DB5D-EB58-5CE0-988D-B84529DC5D80");
    central.write("4491DB5D-EB58-5CE0-988D-B84529DC5D80", kHubCharacteristic, {0x01});
    EXPECT_TRUE(recorder->waitFor("scanStopped"));
    EXPECT_TRUE(recorder->waitFor("connectFailed"));
    EXPECT_TRUE(recorder->waitFor("written"));
  }
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
}

TEST_F(BleCentralTest, WithoutTheBluetoothServiceOneWarningSaysSoAndNoErrorIsLogged) {
  log::ScopedRecording recording;
  auto warnings = [&] {
    std::vector<std::string> found;
    for (const auto& record : recording.sink().records()) {
      EXPECT_LT(record.level, log::Level::error) << record.message;
      if (record.level == log::Level::warning) found.push_back(record.message);
    }
    return found;
  };
  fake_.reset();  // a system bus without the service
  {
    BlueZBleCentral central;
    EXPECT_EQ(firstAdapterState(central, std::make_shared<Recorder>()), AdapterState::missing);
  }
  EXPECT_EQ(warnings(), std::vector<std::string>{"Bluetooth: no Bluetooth service: org.bluez is not on the system bus"});

  recording.sink().clear();
  std::string address = bus_.address();
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kestrom-no-bus", 1);
  {
    BlueZBleCentral central;
    EXPECT_EQ(firstAdapterState(central, std::make_shared<Recorder>()), AdapterState::missing);
  }
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  auto noBus = warnings();
  ASSERT_EQ(noBus.size(), 1u);
  EXPECT_EQ(noBus[0].rfind("Bluetooth: no Bluetooth service: no system bus", 0), 0u) << noBus[0];
}

}  // namespace
}  // namespace kestrom::testing

// Classic Bluetooth against the fake Bluetooth service on a private bus: discovery, the serial
// port profile and the socket it hands over.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/bluetooth/BlueZBleCentral.h"
#include "platform/bluetooth/BlueZClassicBluetooth.h"
#include "tests/bluetooth/Recorder.h"
#include "tests/support/bluez/FakeBluez.h"
#include "tests/support/bluez/PrivateBus.h"
#include "tests/support/bluez/SampleHubs.h"
#include "tests/support/bluez/Watchdog.h"

namespace kestrom::testing {
namespace {

using namespace std::chrono_literals;
using Kind = BluetoothError::Kind;

constexpr const char* kHubAddress = kClassicHubAddress;

FakeDevice classicHub() {
  FakeDevice d = sampleClassicHub();
  d.uuids = {kSerialPortProfileUuid};
  return d;
}

/// Reads what arrives within a few seconds: the bytes, or "" at end of stream.
std::string readSome(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  if (::poll(&pfd, 1, 10'000) <= 0) {
    return "<nothing>";
  }
  char buffer[256];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

void writeAll(int fd, const std::string& text) {
  ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

class ClassicBluetoothTest : public ::testing::Test {
 protected:
  void SetUp() override { fake_ = std::make_unique<FakeBluez>(); }
  void TearDown() override {
    classic_.reset();
    fake_.reset();
  }

  void start(std::chrono::milliseconds connectTimeout = 15s) {
    classic_ = startLayer<BlueZClassicBluetooth>(connectTimeout, recorder_);
    ASSERT_TRUE(classic_);
  }

  void discoverHub() {
    classic_->startDiscovery();
    ASSERT_TRUE(eventually([&] { return fake_->advertise(classicHub()); }));
    ASSERT_TRUE(recorder_->waitFor("found", kHubAddress));
  }

  Watchdog watchdog_{"a classic Bluetooth test", 90s};
  PrivateBus bus_;
  std::unique_ptr<FakeBluez> fake_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::unique_ptr<BlueZClassicBluetooth> classic_;
};

TEST_F(ClassicBluetoothTest, DiscoversBrEdrDevicesAndHandsOverTheSerialSocket) {
  start();
  EXPECT_EQ(classic_->adapterState(), AdapterState::poweredOn);
  classic_->startDiscovery();
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  auto filter = fake_->lastDiscoveryFilter();
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->transport, "bredr");

  FakeDevice le;
  le.address = "11:22:33:44:55:66";
  EXPECT_FALSE(fake_->advertise(le)) << "LE devices stay out of a BR/EDR discovery";
  ASSERT_TRUE(fake_->advertise(classicHub()));
  auto found = recorder_->waitFor("found", kHubAddress);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->device.name, "NXT");
  EXPECT_EQ(found->device.deviceClass, 0x000804u);
  classic_->stopDiscovery();
  EXPECT_TRUE(eventually([&] { return !fake_->discovering(); }));

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    recorder_->clear();
    classic_->connect(kHubAddress);
    ASSERT_TRUE(recorder_->waitFor("connected", kHubAddress));
    OwnedFd ours = recorder_->takeSocket(kHubAddress);
    OwnedFd theirs = fake_->takeSocket(kHubAddress);
    ASSERT_TRUE(ours);
    ASSERT_TRUE(theirs);
    writeAll(ours.get(), "\x03\x00\x01\x9b");
    EXPECT_EQ(readSome(theirs.get()), "\x03\x00\x01\x9b");
    writeAll(theirs.get(), "reply");
    EXPECT_EQ(readSome(ours.get()), "reply");

    classic_->disconnect(kHubAddress);
    EXPECT_TRUE(recorder_->waitFor("disconnected", kHubAddress));
    ours.reset();
    EXPECT_EQ(readSome(theirs.get()), "") << "nobody else holds the hub's socket";
  }
  EXPECT_EQ(fake_->calls("RegisterProfile"), 1) << "the profile is registered once";
  EXPECT_EQ(fake_->registeredProfiles(), 1);
}

TEST_F(ClassicBluetoothTest, ListsOnlyBrEdrDevicesWhileAnotherClientDiscoversLe) {
  start();
  // Another client of the service scans for LE devices at the same time: the tree is shared.
  auto leRecorder = std::make_shared<Recorder>();
  BlueZBleCentral central;
  ASSERT_TRUE(firstAdapterState(central, leRecorder));
  classic_->startDiscovery();
  central.startScan({});
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  ASSERT_TRUE(eventually([&] { return fake_->advertise(sampleLeHub()); })) << "listed for the LE scan";
  ASSERT_TRUE(leRecorder->waitFor("found"));
  ASSERT_TRUE(eventually([&] { return fake_->advertise(classicHub()); })) << "listed for the BR/EDR discovery";
  ASSERT_TRUE(recorder_->waitFor("found", kHubAddress));
  // An advertisement of the LE hub after the classic hub's sighting would be reported by now.
  auto louder = sampleLeHub();
  louder.rssi = -20;
  ASSERT_TRUE(fake_->advertise(louder));
  ASSERT_TRUE(leRecorder->waitFor([](const Event& e) { return e.kind == "found" && e.peripheral.rssi == -20; }));
  ASSERT_TRUE(fake_->advertise(classicHub()));
  for (const auto& event : recorder_->events("found")) EXPECT_EQ(event.id, kHubAddress);

  // The serial port profile of an LE-only device cannot be connected.
  classic_->connect(kLeHubAddress);
  auto failed = recorder_->waitFor("connectFailed", kLeHubAddress);
  ASSERT_TRUE(failed);
  EXPECT_NE(failed->error->message.find("org.bluez.Error.NotAvailable"), std::string::npos) << failed->error->message;
  central.stopScan();
  classic_->stopDiscovery();
  EXPECT_TRUE(eventually([&] { return !fake_->discovering(); }));
}

TEST_F(ClassicBluetoothTest, ConnectsADeviceTheServiceDroppedByDiscoveringItAgain) {
  fake_->setTemporaryTimeout(100ms);
  start(3s);
  discoverHub();
  classic_->stopDiscovery();
  ASSERT_TRUE(eventually([&] { return !fake_->listed(kHubAddress); })) << "dropped a while after discovery ended";

  recorder_->clear();
  classic_->connect(kHubAddress);
  ASSERT_TRUE(recorder_->waitFor("connected", kHubAddress));
  EXPECT_EQ(fake_->lastDiscoveryFilter()->transport, "bredr");
  EXPECT_TRUE(eventually([&] { return !fake_->discovering(); })) << "the look ends with the connection";
  EXPECT_TRUE(recorder_->events("found").empty()) << "a look for one hub is not a search";
  classic_->disconnect(kHubAddress);
  ASSERT_TRUE(recorder_->waitFor("disconnected", kHubAddress));

  // Out of range for good: the attempt fails, by the time-out of its look when the layer saw
  // the device leave before the attempt began, else as the device vanishing under it.
  fake_->removeDevice(kHubAddress);
  recorder_->clear();
  classic_->connect(kHubAddress);
  auto failed = recorder_->waitFor("connectFailed", kHubAddress);
  ASSERT_TRUE(failed);
  EXPECT_TRUE(failed->error->kind == Kind::timedOut || failed->error->kind == Kind::notFound) << failed->error->message;
  EXPECT_TRUE(eventually([&] { return !fake_->discovering(); }));
  EXPECT_TRUE(recorder_->events("connected").empty());
}

TEST_F(ClassicBluetoothTest, ConnectTimesOutWhenTheSocketNeverComes) {
  start(300ms);
  discoverHub();
  fake_->stall("ConnectProfile");
  classic_->connect(kHubAddress);
  auto failed = recorder_->waitFor("connectFailed", kHubAddress);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->error->kind, Kind::timedOut);

  // The socket turning up after the time-out is refused and closed.
  fake_->release("ConnectProfile");
  OwnedFd late;
  ASSERT_TRUE(eventually([&] { return (late = fake_->takeSocket(kHubAddress)).valid(); }));
  EXPECT_EQ(readSome(late.get()), "");
  EXPECT_TRUE(recorder_->events("connected").empty());

  // Nothing of that attempt lingers: the next one works.
  classic_->connect(kHubAddress);
  ASSERT_TRUE(recorder_->waitFor("connected", kHubAddress));
  EXPECT_EQ(recorder_->events("connectFailed").size(), 1u);
}

TEST_F(ClassicBluetoothTest, RefusalsAndLostLinksAreReported) {
  start();
  classic_->connect("00:00:00:00:00:01");
  auto unknown = recorder_->waitFor("connectFailed");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->error->kind, Kind::notFound);

  discoverHub();
  fake_->failNext("ConnectProfile", "org.bluez.Error.Failed");
  classic_->connect(kHubAddress);
  auto refused = recorder_->waitFor("connectFailed", kHubAddress);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->error->kind, Kind::failed);

  classic_->connect(kHubAddress);
  ASSERT_TRUE(recorder_->waitFor("connected", kHubAddress));
  fake_->removeDevice(kHubAddress);
  EXPECT_TRUE(recorder_->waitFor("disconnected", kHubAddress));

  fake_->setPowered(false);
  EXPECT_TRUE(recorder_->waitFor([](const Event& e) { return e.kind == "adapter" && e.state == AdapterState::poweredOff; }));
  recorder_->clear();
  classic_->startDiscovery();
  auto stopped = recorder_->waitFor("scanStopped");
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->error->kind, Kind::adapterUnavailable);
}

}  // namespace
}  // namespace kestrom::testing

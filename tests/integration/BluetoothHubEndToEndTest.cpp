// The headless host with Bluetooth hubs: the test runs the fake Bluetooth service on a private
// bus that the host reaches as its system bus, and a page, over the real WebSocket channel, scans,
// connects, sends and listens to a Bluetooth LE hub and a classic (serial port profile) hub, while
// the fake fails writes, lets hubs vanish, forgets them after discovery and switches the adapter
// off.

#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "KestromKit/base/Base64.h"
#include "tests/integration/HostPage.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/bluez/FakeBluez.h"
#include "tests/support/bluez/PrivateBus.h"
#include "tests/support/bluez/Watchdog.h"
#include "tests/support/bluez/SampleHubs.h"
#include "tests/support/Eventually.h"

namespace kestrom::test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using testing::FakeBluez;
using testing::FakeDevice;

constexpr const char* kLeAddress = testing::kLeHubAddress;
constexpr const char* kClassicAddress = testing::kClassicHubAddress;
using testing::kBatteryLevel;
using testing::kBatteryService;
using testing::kHubCharacteristic;
using testing::kHubService;

FakeDevice leHub() {
  FakeDevice d = testing::sampleLeHub();
  d.manufacturerData = {{0x0397, {0x00, 0x80, 0x06}}};
  return d;
}

FakeDevice classicHub() { return testing::sampleClassicHub(); }

using kestrom::test::eventually;

Json reply(const std::string& id) { return {{"id", id}, {"result", Json::object()}, {"jsonrpc", "2.0"}}; }
Json notification(const std::string& method, Json params) {
  return {{"method", method}, {"params", std::move(params)}, {"jsonrpc", "2.0"}};
}

/// Frames as plain JSON, so they compare with the expected ones whatever the order of their keys.
class HubPage : public BasicPage<Json> {
 public:
  explicit HubPage(const HostProcess& host) : BasicPage(host, 20s) {}
  /// The next reply or hub notification other than a found hub (advertisements keep coming, and
  /// the host has notifications of its own).
  std::optional<Json> nextBesidesFound() {
    return nextWhere([](const Json& f) {
      const std::string method = f.value("method", "");
      return f.contains("id") || method.rfind("/hub/", 0) == 0;
    });
  }
};

class BluetoothHubEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ = std::make_unique<FakeBluez>();
    host_ = std::make_unique<HostProcess>(
        home_.path, HostOptions{.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bus_.address()}}}, 30s);
    ASSERT_TRUE(host_->running()) << host_->errorOutput();
    // The hub service takes the transports' reports once start-up is over, as the page is shown.
    ASSERT_TRUE(host_->waitUntilPageShown());
    page_ = std::make_unique<HubPage>(*host_);
    ASSERT_TRUE(page_->connected());
  }
  void TearDown() override {
    page_.reset();
    if (host_) {
      EXPECT_EQ(host_->stop(), 0) << host_->errorOutput();
    }
    host_.reset();
    fake_.reset();
  }

  /// Scans for the hub service, connects the LE hub and returns its id.
  std::string connectLeHub() {
    page_->request("scan", "/hub/startscan", {{"type", "bluetooth-lowenergy"}, {"bleServices", {kHubService}}});
    EXPECT_EQ(page_->replyTo("scan"), reply("scan"));
    EXPECT_TRUE(eventually([&] { return fake_->advertise(leHub()); }));
    auto found = page_->notification("hub/devicefound");
    EXPECT_TRUE(found) << host_->errorOutput();
    if (!found) return "";
    std::string id = found->at("params").at("device").at("id");
    stopScan("bluetooth-lowenergy");
    page_->request("connect", "/hub/connect", {{"id", id}});
    EXPECT_EQ(page_->replyTo("connect"), reply("connect"));
    EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/connected", {{"id", id}}));
    return id;
  }

  /// Stops the scan: the reply comes first, then the one notification of the stop.
  void stopScan(const std::string& type) {
    page_->request("stop", "/hub/stopscan", {{"type", type}});
    EXPECT_EQ(page_->nextBesidesFound(), reply("stop"));
    EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/scanningstopped", {{"type", type}}));
  }

  void send(const std::string& requestId, const std::string& hubId, const std::string& bytes) {
    page_->request(requestId, "/hub/send", {{"id", hubId}, {"message", base64Encode(bytes)}});
  }

  testing::Watchdog watchdog_{"a Bluetooth hub end-to-end test", 150s};
  testing::PrivateBus bus_;
  TemporaryHome home_;
  std::unique_ptr<FakeBluez> fake_;
  std::unique_ptr<HostProcess> host_;
  std::unique_ptr<HubPage> page_;
};

TEST_F(BluetoothHubEndToEndTest, ALowEnergyHubIsFoundConnectedWrittenHeardFromAndLostMidWrite) {
  page_->request("scan", "/hub/startscan",
                 {{"type", "bluetooth-lowenergy"}, {"bleServices", {"not a uuid", kHubService}}});
  EXPECT_EQ(page_->replyTo("scan"), reply("scan"));
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  EXPECT_EQ(fake_->lastDiscoveryFilter()->transport, "le");
  EXPECT_EQ(fake_->lastDiscoveryFilter()->uuids, std::vector<std::string>{kHubService});
  ASSERT_TRUE(fake_->advertise(leHub()));
  auto found = page_->notification("hub/devicefound");
  ASSERT_TRUE(found) << host_->errorOutput();
  Json device = found->at("params").at("device");
  const std::string id = device.at("id");
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(device, (Json{{"ble", {{"manufacturerData", {{"919", base64Encode(std::string("\x00\x80\x06", 3))}}},
                                   {"rssi", -48}}},
                          {"id", id},
                          {"name", "Technic Hub"},
                          {"type", "bluetooth-lowenergy"}}));
  stopScan("bluetooth-lowenergy");

  page_->request("connect", "/hub/connect", {{"id", id}});
  EXPECT_EQ(page_->replyTo("connect"), reply("connect"));
  EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/connected", {{"id", id}}));
  EXPECT_TRUE(fake_->notifying(kLeAddress, kHubCharacteristic));

  // Two messages: each written whole with response, in order; the fake echoes each as a
  // notification.
  const std::string first(20, '\x11'), second("\x05\x00\x45\x00\x01", 5);
  send("s1", id, first);
  send("s2", id, second);
  std::string heard;
  int replies = 0;
  for (int frames = 0; frames < 50 && (replies < 2 || heard.size() < first.size() + second.size()); ++frames) {
    auto frame = page_->nextBesidesFound();
    ASSERT_TRUE(frame);
    if (frame->value("method", "") == "/hub/didReceiveMessage") {
      heard += *base64Decode(frame->at("params").at("message").get<std::string>());
    } else {
      EXPECT_EQ(frame->at("result"), Json::object()) << *frame;
      ++replies;
    }
  }
  EXPECT_EQ(heard, first + second);
  auto writes = fake_->writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(std::string(writes[0].value.begin(), writes[0].value.end()), first);
  EXPECT_EQ(writes[1].type, "request");
  EXPECT_EQ(fake_->maxWritesInFlight(), 1);

  // The hub vanishes from the bus with a write out: the page hears of it and gets its reply.
  fake_->stall("WriteValue");
  send("lost", id, "never answered");
  ASSERT_TRUE(eventually([&] { return fake_->stalledCalls("WriteValue") == 1; }));
  fake_->removeDevice(kLeAddress);
  EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/disconnected", {{"id", id}}));
  auto lost = page_->nextBesidesFound();
  ASSERT_TRUE(lost);
  EXPECT_EQ(lost->at("id"), "lost");
  EXPECT_EQ(lost->at("error"), "no such connection");
  fake_->release("WriteValue");
  page_->request("list", "/hub/connections");
  EXPECT_EQ(page_->replyTo("list")->at("result").at("devices"), Json::array());
}

TEST_F(BluetoothHubEndToEndTest, AfterAWriteErrorTheLowEnergyHubConnectsAndTakesWritesAgain) {
  const std::string id = connectLeHub();
  fake_->failNext("WriteValue", "org.bluez.Error.Failed");
  send("bad", id, "first");
  EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/disconnected", {{"id", id}}));
  auto bad = page_->nextBesidesFound();
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->at("error"), "no such connection");

  page_->request("again", "/hub/connect", {{"id", id}});
  EXPECT_EQ(page_->replyTo("again"), reply("again"));
  EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/connected", {{"id", id}}));
  send("good", id, "second");
  EXPECT_EQ(page_->replyTo("good"), reply("good"));
}

TEST_F(BluetoothHubEndToEndTest, AHubWithoutTheHubCharacteristicFailsToConnectInsteadOfHanging) {
  FakeDevice plain = leHub();
  plain.services = {{kBatteryService, {{kBatteryLevel, {"read", "notify"}}}}};
  page_->request("scan", "/hub/startscan", {{"type", "bluetooth-lowenergy"}, {"bleServices", {kHubService}}});
  EXPECT_EQ(page_->replyTo("scan"), reply("scan"));
  ASSERT_TRUE(eventually([&] { return fake_->advertise(plain); }));
  auto found = page_->notification("hub/devicefound");
  ASSERT_TRUE(found);
  page_->request("connect", "/hub/connect", {{"id", found->at("params").at("device").at("id")}});
  auto failed = page_->replyTo("connect");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->at("error"), "Unable to connect");
}

TEST_F(BluetoothHubEndToEndTest, BluetoothSwitchedOffMidScanDisconnectsTheHubAndAsksOnce) {
  const std::string id = connectLeHub();
  page_->request("scan2", "/hub/startscan", {{"type", "bluetooth-lowenergy"}});
  EXPECT_EQ(page_->replyTo("scan2"), reply("scan2"));
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  fake_->setPowered(false);
  EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/disconnected", {{"id", id}}));
  ASSERT_TRUE(eventually([&] { return host_->errorOutput().find("Alert: Bluetooth is needed") != std::string::npos; }));
  std::this_thread::sleep_for(300ms);
  const std::string log = host_->errorOutput();
  const auto first = log.find("Alert: Bluetooth is needed");
  EXPECT_EQ(log.find("Alert: Bluetooth is needed", first + 1), std::string::npos) << "asked once";
}

TEST_F(BluetoothHubEndToEndTest, WithBothScansAtOnceEachHubIsShownOnceByItsOwnTypeAndStaysConnectableWhenForgotten) {
  fake_->setTemporaryTimeout(300ms);
  page_->request("le", "/hub/startscan", {{"type", "bluetooth-lowenergy"}, {"bleServices", {kHubService}}});
  EXPECT_EQ(page_->replyTo("le"), reply("le"));
  page_->request("classic", "/hub/startscan", {{"type", "bluetooth-classic"}});
  EXPECT_EQ(page_->replyTo("classic"), reply("classic"));
  // A heart-rate sensor a real radio would pick up too: outside the filter, shown by neither.
  FakeDevice sensor;
  sensor.address = "11:22:33:44:55:66";
  sensor.name = "HRM";
  sensor.uuids = {"0000180d-0000-1000-8000-00805f9b34fb"};
  sensor.manufacturerData = {{0x0001, {0x01}}};
  ASSERT_TRUE(eventually([&] { return fake_->advertise(leHub()); }));
  ASSERT_TRUE(eventually([&] { return fake_->advertise(classicHub()); }));
  fake_->advertise(sensor);

  // Both hubs seen, each advertising a few times.
  std::vector<Json> found;
  std::string leId;
  bool classicSeen = false;
  for (int round = 0; round < 200 && (leId.empty() || !classicSeen || found.size() < 8); ++round) {
    fake_->advertise(leHub());
    fake_->advertise(classicHub());
    auto frame = page_->notification("hub/devicefound");
    ASSERT_TRUE(frame) << host_->errorOutput();
    const Json device = frame->at("params").at("device");
    found.push_back(device);
    if (device.at("type") == "bluetooth-lowenergy") leId = device.at("id");
    if (device.at("type") == "bluetooth-classic") classicSeen = true;
  }
  ASSERT_FALSE(leId.empty());
  ASSERT_TRUE(classicSeen);
  for (const auto& device : found) {
    if (device.at("type") == "bluetooth-classic") {
      EXPECT_EQ(device, (Json{{"id", kClassicAddress}, {"name", "NXT"}, {"type", "bluetooth-classic"}}));
    } else {
      EXPECT_EQ(device.at("type"), "bluetooth-lowenergy");
      EXPECT_EQ(device.at("id"), leId) << "only the hub meets the filter";
    }
  }
  stopScan("bluetooth-lowenergy");
  stopScan("bluetooth-classic");

  // The service drops both a while after discovery ended; the page still knows them.
  ASSERT_TRUE(eventually([&] { return !fake_->listed(kLeAddress) && !fake_->listed(kClassicAddress); }));
  page_->request("connect-le", "/hub/connect", {{"id", leId}});
  ASSERT_EQ(page_->replyTo("connect-le"), reply("connect-le"))
      << "StartDiscovery " << fake_->calls("StartDiscovery") << " StopDiscovery " << fake_->calls("StopDiscovery")
      << "\n" << host_->errorOutput();
  EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/connected", {{"id", leId}}));
  page_->request("connect-classic", "/hub/connect", {{"id", kClassicAddress}});
  EXPECT_EQ(page_->replyTo("connect-classic"), reply("connect-classic"));
  EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/connected", {{"id", kClassicAddress}}));
  send("s", leId, "hello");
  EXPECT_EQ(page_->replyTo("s"), reply("s"));
  page_->request("list", "/hub/connections");
  EXPECT_EQ(page_->replyTo("list")->at("result").at("devices").size(), 2u);
}

TEST_F(BluetoothHubEndToEndTest, AClassicHubIsFoundConnectedThroughTheSerialPortWrittenHeardFromAndHangsUp) {
  page_->request("scan", "/hub/startscan", {{"type", "bluetooth-classic"}});
  EXPECT_EQ(page_->replyTo("scan"), reply("scan"));
  ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  EXPECT_EQ(fake_->lastDiscoveryFilter()->transport, "bredr");
  ASSERT_TRUE(fake_->advertise(classicHub()));
  auto found = page_->notification("hub/devicefound");
  ASSERT_TRUE(found) << host_->errorOutput();
  EXPECT_EQ(found->at("params").at("device"),
            (Json{{"id", kClassicAddress}, {"name", "NXT"}, {"type", "bluetooth-classic"}}));

  page_->request("connect", "/hub/connect", {{"id", kClassicAddress}});
  EXPECT_EQ(page_->replyTo("connect"), reply("connect"));
  EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/connected", {{"id", kClassicAddress}}));
  OwnedFd hubEnd = fake_->takeSocket(kClassicAddress);
  ASSERT_TRUE(hubEnd);

  std::string message(5000, '\0');
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i % 251);
  send("send", kClassicAddress, message);
  std::string got;
  char buffer[8192];
  while (got.size() < message.size()) {
    pollfd p{hubEnd.get(), POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 20000), 0);
    const ssize_t n = ::recv(hubEnd.get(), buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    got.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_TRUE(got == message);
  EXPECT_EQ(page_->replyTo("send"), reply("send"));

  const std::string fromHub("\x03\x00\x02", 3);
  ASSERT_EQ(::send(hubEnd.get(), fromHub.data(), fromHub.size(), MSG_NOSIGNAL), 3);
  auto heard = page_->notification("/hub/didReceiveMessage");
  ASSERT_TRUE(heard);
  EXPECT_EQ(heard->at("params"), (Json{{"id", kClassicAddress}, {"message", base64Encode(fromHub)}}));

  hubEnd.reset();
  EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/disconnected", {{"id", kClassicAddress}}));
  page_->request("again", "/hub/connect", {{"id", kClassicAddress}});
  EXPECT_EQ(page_->replyTo("again"), reply("again"));
  EXPECT_EQ(page_->nextBesidesFound(), notification("/hub/connected", {{"id", kClassicAddress}}));
}

}  // namespace
}  // namespace kestrom::test

// The hub service between a recording page outlet and three fake transports, with the main and
// delegation queues driven by hand: parked replies, the order of replies and notifications, the
// error pairs and the corner cases of scanning.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "KestromKit/hubs/HubService.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/log/FakeLogSink.h"
#include "tests/support/FakeDeviceManager.h"
#include "tests/support/RecordingInterface.h"

namespace kestrom {
namespace {

using Json = nlohmann::json;  // compared as values: key order does not matter
using test::FakeDeviceManager;
using test::RecordingInterface;

class AlertDelegate final : public HubServiceDelegate {
 public:
  void showAlert(KestromAlert, std::function<void()> retry) override { retries.push_back(std::move(retry)); }
  std::vector<std::function<void()>> retries;
};

std::vector<Json> frames(const char* jsonArray) {
  std::vector<Json> list;
  for (auto& frame : Json::parse(jsonArray)) list.push_back(frame);
  return list;
}

class HubServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch::installMainQueue(main);
    build(false);
  }
  void TearDown() override { dispatch::installMainQueue(nullptr); }

  void build(bool verbose) {
    HubTransports transports{.bluetoothClassic = classic, .usb = usb, .bluetoothLowEnergy = ble};
    service = std::make_shared<HubService>(page, verbose, HubServiceFactory{.delegationQueue = delegation},
                                           transports, alerts);
    main->sync([&] { service->attach(); });  // transports are attached on the main queue
  }

  /// Runs the reports made so far and returns what the page received since the last look.
  std::vector<Json> sent() {
    delegation->runPending();
    main->runPending();
    return page->take();
  }

  /// A USB hub found and connected, its frames taken.
  void connectUsbHub(const std::string& id) {
    usb->reportFound(id);
    sent();
    main->sync([&] { service->connect("c-" + id, {id}); });
    usb->reportConnectResult(id, true);
    ASSERT_EQ(sent().size(), 2u);  // the connect reply, "/hub/connected"
    usb->clearCalls();
  }

  std::shared_ptr<dispatch::ManualQueue> main = std::make_shared<dispatch::ManualQueue>("main");
  std::shared_ptr<dispatch::ManualQueue> delegation = std::make_shared<dispatch::ManualQueue>("HubService Delegation");
  std::shared_ptr<FakeDeviceManager> classic =
      std::make_shared<FakeDeviceManager>(delegation, HubConnectionType::bluetoothClassic);
  std::shared_ptr<FakeDeviceManager> usb = std::make_shared<FakeDeviceManager>(delegation, HubConnectionType::usb);
  std::shared_ptr<FakeDeviceManager> ble =
      std::make_shared<FakeDeviceManager>(delegation, HubConnectionType::bluetoothLowenergy);
  std::shared_ptr<RecordingInterface> page = std::make_shared<RecordingInterface>();
  std::shared_ptr<AlertDelegate> alerts = std::make_shared<AlertDelegate>();
  std::shared_ptr<HubService> service;
};

TEST_F(HubServiceTest, ScanRequestsReachOnlyTheTransportOfTheirTypeAndAnswerAtOnce) {
  main->sync([&] { service->startScan("1", {.bleServices = std::vector<std::string>{"X"}, .type = HubConnectionType::bluetoothLowenergy}); });
  main->sync([&] { service->startScan("2", {.bleServices = std::vector<std::string>{"X"}, .type = HubConnectionType::usb}); });
  main->sync([&] { service->startScan("3", {.bleServices = std::nullopt, .type = HubConnectionType::bluetoothClassic}); });
  main->sync([&] { service->startScan("4", {.bleServices = std::nullopt, .type = HubConnectionType::usbHID}); });
  main->sync([&] { service->stopScan("5", {.type = HubConnectionType::virtual_}); });
  main->sync([&] { service->stopScan("6", {.type = HubConnectionType::usb}); });
  EXPECT_EQ(ble->calls(), (std::vector<std::string>{"startScan X"}));
  EXPECT_EQ(usb->calls(), (std::vector<std::string>{"startScan", "stopScan"}));
  EXPECT_EQ(classic->calls(), (std::vector<std::string>{"startScan"}));
  EXPECT_EQ(page->take(), frames(R"([
    {"id":"1","result":{},"jsonrpc":"2.0"}, {"id":"2","result":{},"jsonrpc":"2.0"},
    {"id":"3","result":{},"jsonrpc":"2.0"}, {"id":"4","result":{},"jsonrpc":"2.0"},
    {"id":"5","result":{},"jsonrpc":"2.0"}, {"id":"6","result":{},"jsonrpc":"2.0"}])"));
}

TEST_F(HubServiceTest, ReportsWaitForAttachAndGoOutInTheOrderTheTransportsMadeThem) {
  auto early = std::make_shared<FakeDeviceManager>(delegation, HubConnectionType::usb);
  auto detached = std::make_shared<HubService>(page, false, HubServiceFactory{.delegationQueue = delegation},
                                               HubTransports{.usb = early}, alerts);
  early->reportFound("EARLY");
  EXPECT_TRUE(sent().empty());  // no delegate yet: dropped without a trace

  usb->reportFound("U1");
  ble->reportFound("B1");
  usb->reportData("U1", "hi");
  EXPECT_EQ(sent(), frames(R"([
    {"method":"hub/devicefound","params":{"device":{"id":"U1","name":"Hub","serial":{"productId":2,"vendorId":1684},"type":"usb"}},"jsonrpc":"2.0"},
    {"method":"hub/devicefound","params":{"device":{"id":"B1","name":"Hub","ble":{"rssi":0},"type":"bluetooth-lowenergy"}},"jsonrpc":"2.0"},
    {"method":"/hub/didReceiveMessage","params":{"id":"U1","message":"aGk="},"jsonrpc":"2.0"}])"));
}

TEST_F(HubServiceTest, ConnectParksItsRepliesUntilTheTransportAnswers) {
  // Not found by any scan: answered at once, no transport asked.
  main->sync([&] { service->connect("c0", {"NOWHERE"}); });
  EXPECT_EQ(sent(), frames(R"([{"id":"c0","error":"Unable to connect","jsonrpc":"2.0"}])"));

  usb->reportFound("H1");
  sent();
  main->sync([&] { service->connect("c1", {"H1"}); });
  main->sync([&] { service->connect("c2", {"H1"}); });
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(usb->calls(), (std::vector<std::string>{"connect H1", "connect H1"}));
  EXPECT_TRUE(ble->calls().empty());
  EXPECT_TRUE(classic->calls().empty());

  usb->reportConnectResult("H1", true);
  EXPECT_EQ(sent(), frames(R"([{"id":"c1","result":{},"jsonrpc":"2.0"}, {"id":"c2","result":{},"jsonrpc":"2.0"},
    {"method":"/hub/connected","params":{"id":"H1"},"jsonrpc":"2.0"}])"));
  usb->reportConnectResult("H1", false);  // the failure halves were dropped with the success
  EXPECT_TRUE(sent().empty());
  ASSERT_EQ(service->connectedDevices().size(), 1u);
  EXPECT_EQ(service->connectedDevices()[0].id, "H1");

  // A failure answers only the failure halves and leaves the hub found.
  ble->reportFound("B1");
  sent();
  main->sync([&] { service->connect("c3", {"B1"}); });
  ble->reportConnectResult("B1", false);
  EXPECT_EQ(sent(), frames(R"([{"id":"c3","error":"Unable to connect","jsonrpc":"2.0"}])"));
  EXPECT_EQ(service->connectedDevices().size(), 1u);

  // Found again under another type: the newer record decides the transport.
  classic->reportFound("H1");
  sent();
  usb->clearCalls();
  main->sync([&] { service->connect("c4", {"H1"}); });
  EXPECT_EQ(classic->calls(), (std::vector<std::string>{"connect H1"}));
  EXPECT_TRUE(usb->calls().empty());
}

TEST_F(HubServiceTest, ASuccessForAHubNoScanReportedIsConnectedButNotListed) {
  usb->reportConnectResult("GHOST", true);
  EXPECT_EQ(sent(), frames(R"([{"method":"/hub/connected","params":{"id":"GHOST"},"jsonrpc":"2.0"}])"));
  EXPECT_TRUE(service->connectedDevices().empty());
}

TEST_F(HubServiceTest, SendsWaitForTheirCompletionAndFailWhenTheHubIsNotConnected) {
  main->sync([&] { service->send("s0", {"H1", "AQI="}); });
  main->sync([&] { service->send("s1", {"H1", "not base64!"}); });
  EXPECT_EQ(sent(), frames(R"([{"method":"/hub/disconnected","params":{"id":"H1"},"jsonrpc":"2.0"},
    {"id":"s0","error":"no such connection","jsonrpc":"2.0"},
    {"id":"s1","error":"unable to decode message","jsonrpc":"2.0"}])"));

  connectUsbHub("H1");
  main->sync([&] { service->send("s2", {"H1", "AQI="}); });
  main->sync([&] { service->send("s3", {"H1", ""}); });
  main->sync([&] { service->send("s4", {"H1", "/wA="}); });
  EXPECT_EQ(usb->calls(), (std::vector<std::string>{"send H1 AQI=", "send H1 ", "send H1 /wA="}));
  EXPECT_TRUE(sent().empty());
  usb->reportSendCompleted("H1");
  EXPECT_EQ(sent(), frames(R"([{"id":"s2","result":{},"jsonrpc":"2.0"},{"id":"s3","result":{},"jsonrpc":"2.0"},
    {"id":"s4","result":{},"jsonrpc":"2.0"}])"));
  usb->reportSendCompleted("H1");
  EXPECT_TRUE(sent().empty());
}

TEST_F(HubServiceTest, ADisconnectionIsAnnouncedBeforeItsRepliesAndFailsTheSendsStillWaiting) {
  main->sync([&] { service->disconnect("d0", {"H1"}); });
  EXPECT_EQ(sent(), frames(R"([{"method":"/hub/disconnected","params":{"id":"H1"},"jsonrpc":"2.0"},
    {"id":"d0","error":"no such connection","jsonrpc":"2.0"}])"));

  connectUsbHub("H1");
  main->sync([&] { service->send("s1", {"H1", "AQI="}); });
  main->sync([&] { service->send("s2", {"H1", "AwQ="}); });
  main->sync([&] { service->disconnect("d1", {"H1"}); });
  EXPECT_EQ(usb->calls().back(), "disconnect H1");
  usb->reportDisconnected("H1");
  EXPECT_EQ(sent(), frames(R"([{"method":"/hub/disconnected","params":{"id":"H1"},"jsonrpc":"2.0"},
    {"id":"d1","result":{},"jsonrpc":"2.0"},
    {"id":"s1","error":"no such connection","jsonrpc":"2.0"},{"id":"s2","error":"no such connection","jsonrpc":"2.0"}])"));
  EXPECT_TRUE(service->connectedDevices().empty());

  // A completion that comes late answers nothing twice; a hub never connected is still announced.
  usb->reportSendCompleted("H1");
  usb->reportDisconnected("NEVER");
  EXPECT_EQ(sent(), frames(R"([{"method":"/hub/disconnected","params":{"id":"NEVER"},"jsonrpc":"2.0"}])"));

  // The hub stays found: it can be connected again.
  main->sync([&] { service->connect("c2", {"H1"}); });
  EXPECT_EQ(usb->calls().back(), "connect H1");
}

TEST_F(HubServiceTest, StoppedScansSendTheQueuedNotificationsAndDropPendingConnectReplies) {
  // Two stops, one report: the two queued notifications with their own types, not the report's.
  main->sync([&] { service->stopScan("1", {.type = HubConnectionType::usb}); });
  main->sync([&] { service->stopScan("2", {.type = HubConnectionType::bluetoothClassic}); });
  ble->reportScanningStopped();
  EXPECT_EQ(sent(), frames(R"([{"id":"1","result":{},"jsonrpc":"2.0"},{"id":"2","result":{},"jsonrpc":"2.0"},
    {"method":"/hub/scanningstopped","params":{"type":"usb"},"jsonrpc":"2.0"},
    {"method":"/hub/scanningstopped","params":{"type":"bluetooth-classic"},"jsonrpc":"2.0"}])"));
  ble->reportScanningStopped();  // nothing queued: the report's own type
  EXPECT_EQ(sent(), frames(R"([{"method":"/hub/scanningstopped","params":{"type":"bluetooth-lowenergy"},"jsonrpc":"2.0"}])"));

  // A stopped scan drops the pending connect's success reply but keeps its failure reply.
  ble->reportFound("B1");
  ble->reportFound("B2");
  sent();
  main->sync([&] { service->connect("c1", {"B1"}); });
  main->sync([&] { service->connect("c2", {"B2"}); });
  ble->reportScanningStopped();
  sent();
  ble->reportConnectResult("B1", true);
  ble->reportConnectResult("B2", false);
  EXPECT_EQ(sent(), frames(R"([{"method":"/hub/connected","params":{"id":"B1"},"jsonrpc":"2.0"},
    {"id":"c2","error":"Unable to connect","jsonrpc":"2.0"}])"));
}

TEST_F(HubServiceTest, TheTransportsAnswerToAStopSendsNoSecondNotification) {
  main->sync([&] { service->stopScan("1", {.type = HubConnectionType::bluetoothLowenergy}); });
  EXPECT_EQ(ble->calls(), (std::vector<std::string>{"stopScan"}));
  ble->reportScanningStopped();
  EXPECT_EQ(sent(), frames(R"([{"id":"1","result":{},"jsonrpc":"2.0"},
    {"method":"/hub/scanningstopped","params":{"type":"bluetooth-lowenergy"},"jsonrpc":"2.0"}])"));

  // The first answer carries both queued notifications; the second answer adds none.
  main->sync([&] { service->stopScan("2", {.type = HubConnectionType::bluetoothLowenergy}); });
  main->sync([&] { service->stopScan("3", {.type = HubConnectionType::bluetoothLowenergy}); });
  ble->reportScanningStopped();
  ble->reportScanningStopped();
  EXPECT_EQ(sent(), frames(R"([{"id":"2","result":{},"jsonrpc":"2.0"},{"id":"3","result":{},"jsonrpc":"2.0"},
    {"method":"/hub/scanningstopped","params":{"type":"bluetooth-lowenergy"},"jsonrpc":"2.0"},
    {"method":"/hub/scanningstopped","params":{"type":"bluetooth-lowenergy"},"jsonrpc":"2.0"}])"));

  // A scan that ends by itself, with no stop waiting for its answer, is told on its own.
  ble->reportScanningStopped();
  EXPECT_EQ(sent(), frames(R"([{"method":"/hub/scanningstopped","params":{"type":"bluetooth-lowenergy"},"jsonrpc":"2.0"}])"));

  // Another transport's report carries a queued stop; that stop's own answer then adds nothing.
  main->sync([&] { service->stopScan("4", {.type = HubConnectionType::usb}); });
  ble->reportScanningStopped();
  usb->reportScanningStopped();
  EXPECT_EQ(sent(), frames(R"([{"id":"4","result":{},"jsonrpc":"2.0"},
    {"method":"/hub/scanningstopped","params":{"type":"usb"},"jsonrpc":"2.0"}])"));

  // A stop of a type without a transport waits for any transport's report, as before.
  main->sync([&] { service->stopScan("5", {.type = HubConnectionType::virtual_}); });
  classic->reportScanningStopped();
  EXPECT_EQ(sent(), frames(R"([{"id":"5","result":{},"jsonrpc":"2.0"},
    {"method":"/hub/scanningstopped","params":{"type":"virtual"},"jsonrpc":"2.0"}])"));
}

TEST_F(HubServiceTest, ValidationDisconnectsOnlyHubsTheirTransportLost) {
  main->sync([&] { service->validateConnections("v0"); });
  EXPECT_EQ(sent(), frames(R"([{"id":"v0","result":{},"jsonrpc":"2.0"}])"));
  EXPECT_TRUE(usb->calls().empty());

  connectUsbHub("H1");
  main->sync([&] { service->validateConnections("v1"); });
  EXPECT_EQ(usb->calls(), (std::vector<std::string>{"isConnected H1"}));
  usb->clearCalls();
  usb->setConnected(false);
  main->sync([&] { service->validateConnections("v2"); });
  EXPECT_EQ(usb->calls(), (std::vector<std::string>{"isConnected H1", "disconnect H1"}));
  EXPECT_EQ(sent(), frames(R"([{"id":"v1","result":{},"jsonrpc":"2.0"},{"id":"v2","result":{},"jsonrpc":"2.0"}])"));
}

TEST_F(HubServiceTest, VerboseLinesShowTheBytesAsTextBase64AndHex) {
  log::ScopedRecording recording;
  build(true);
  connectUsbHub("H1");
  main->sync([&] { service->send("s1", {"H1", "SEk="}); });  // 48 49
  usb->reportData("H1", std::string("\xFF\x00", 2));
  sent();
  std::vector<std::string> lines;
  for (const auto& record : recording.sink().records())
    if (record.category == Constants::log().bluetooth.category() && record.level == log::Level::debug)
      lines.push_back(record.message);
  EXPECT_EQ(lines, (std::vector<std::string>{"HUB IN:\n -\tHI\n 64\tSEk=\n b\t48-49\n -",
                                             "HUB OUT:\n -\t<not human readable>\n 64\t/wA=\n b\tff-00\n -"}));
}

TEST_F(HubServiceTest, UnavailableBluetoothAsksTheDelegateOnMainWithTheRetry) {
  int retried = 0;
  DeviceManagerReporter reporter(delegation);
  reporter.setDelegate(service);
  reporter.bluetoothUnavailable([&] { ++retried; });
  delegation->runPending();
  EXPECT_TRUE(alerts->retries.empty());  // shown from main, not from the delegation queue
  main->runPending();
  ASSERT_EQ(alerts->retries.size(), 1u);
  alerts->retries[0]();
  EXPECT_EQ(retried, 1);
}

}  // namespace
}  // namespace kestrom

// The outlet to the page: every reply and notification reaches every open connection, logged by
// the verbose switches; LoopBack hands them to a completion instead.

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>

#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/server/WebAppRPCConnection.h"
#include "KestromKit/model/Coding.h"
#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"
#include "tests/support/WSTestClient.h"
#include "tests/rpc/LoopBack.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using test::WSTestClient;
using Kind = WSEvent::Kind;

Json parsed(const std::optional<std::string>& text) {
  if (!text) return Json("(no frame)");
  auto json = parseJson(*text);
  return json ? *json : Json("(not JSON) " + *text);
}

RPC::Notification sensorData() {
  return RPC::Notification::make<RPC::Notification::Case::hubDidReceiveMessage>({.id = "hub-1", .message = "AAEC"});
}

RPC::Notification disconnected() {
  return RPC::Notification::make<RPC::Notification::Case::hubDisconnected>({.id = "hub-1"});
}

RPC::Notification gamepadSnapshot() { return RPC::Notification::make<RPC::Notification::Case::gamepadSnapshot>({}); }

struct Page {
  test::RunningServer running = test::startServer();
  WSTestClient first, second;

  bool connect() {
    return running.port != 0 && first.connect(running.port) && second.connect(running.port) &&
           running.delegate->waitForCount(Kind::onOpen, 2);
  }
};

TEST(WebAppRPCConnectionTest, BothClientsGetEveryReplyAndNotification) {
  Page page;
  ASSERT_TRUE(page.connect());
  WebAppRPCConnection rpc(page.running.server, false, false);

  rpc.send(RPC::Response::emptyResult(RPC::Response::Case::miscPing, "7"));
  rpc.send(RPCMessage(sensorData()));
  rpc.send(RPCMessage(RPC::Response::error("8", "no such connection")));  // a response inside a message

  const Json expected[] = {
      Json::parse(R"({"id": "7", "result": {}, "jsonrpc": "2.0"})"),
      Json::parse(R"({"method": "/hub/didReceiveMessage", "params": {"id": "hub-1", "message": "AAEC"},
                      "jsonrpc": "2.0"})"),
      Json::parse(R"({"id": "8", "error": "no such connection", "jsonrpc": "2.0"})"),
  };
  for (WSTestClient* client : {&page.first, &page.second}) {
    for (const auto& want : expected) EXPECT_EQ(parsed(client->readText()), want);
  }
}

TEST(WebAppRPCConnectionTest, SendingWithNoConnectionReturnsAtOnce) {
  auto running = test::startServer();
  WebAppRPCConnection rpc(running.server, true, true);
  auto done = std::async(std::launch::async, [&] {
    rpc.send(RPC::Response::emptyResult(RPC::Response::Case::miscPing, "1"));
    rpc.send(RPCMessage(disconnected()));
  });
  EXPECT_EQ(done.wait_for(5s), std::future_status::ready);
}

TEST(WebAppRPCConnectionTest, SendingFromTheServerQueueRunsInline) {
  Page page;
  ASSERT_TRUE(page.connect());
  auto rpc = std::make_shared<WebAppRPCConnection>(page.running.server, false, false);
  auto done = std::async(std::launch::async, [&] {
    page.running.server->queue()->sync([&] { rpc->send(RPCMessage(disconnected())); });
  });
  ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(parsed(page.first.readText())["method"], "/hub/disconnected");
}

TEST(WebAppRPCConnectionTest, LogsBySwitchAndKind) {
  Page page;
  ASSERT_TRUE(page.connect());
  struct Case {
    bool verbose;
    bool printSensorData;
    RPCMessage message;
    const char* category;  // where "Sending:" is logged, or nullptr
  };
  const Case cases[] = {
      {false, false, RPC::Response::emptyResult(RPC::Response::Case::miscPing, "1"), nullptr},
      {true, false, RPC::Response::emptyResult(RPC::Response::Case::miscPing, "1"), "WebSocket"},
      {true, false, disconnected(), "WebSocket"},
      {false, true, disconnected(), nullptr},
      {false, true, sensorData(), "SensorData"},
      {true, false, sensorData(), nullptr},
      {true, true, gamepadSnapshot(), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "verbose " << c.verbose << " sensor " << c.printSensorData << " "
                                    << RPC::messageFrame(c.message).value_or("?"));
    log::ScopedRecording recording;
    WebAppRPCConnection rpc(page.running.server, c.verbose, c.printSensorData);
    rpc.send(c.message);
    auto text = page.first.readText();
    ASSERT_TRUE(text) << "every message is sent, logged or not";
    EXPECT_TRUE(page.second.readText());
    std::size_t sendingLines = 0;
    for (const auto& record : recording.sink().records()) {
      if (record.message.rfind("Sending: ", 0) != 0) continue;
      ++sendingLines;
      ASSERT_NE(c.category, nullptr) << record.category << ": " << record.message;
      EXPECT_EQ(record.category, c.category);
      EXPECT_EQ(record.level, log::Level::info);
      EXPECT_EQ(record.message, "Sending: " + *text);
    }
    EXPECT_EQ(sendingLines, c.category ? 1u : 0u);
  }
}

TEST(WebAppRPCConnectionTest, ANotificationThatCannotBeWrittenIsLoggedOnceAndNotSent) {
  Page page;
  ASSERT_TRUE(page.connect());
  log::ScopedRecording recording;
  WebAppRPCConnection rpc(page.running.server, true, true);
  rpc.send(RPCMessage(RPC::Notification::make<RPC::Notification::Case::audioLevelUpdate>(
      {.duration = 1, .level = std::numeric_limits<double>::quiet_NaN()})));
  rpc.send(RPCMessage(disconnected()));  // the next frame on the wire is this one
  EXPECT_EQ(parsed(page.first.readText())["method"], "/hub/disconnected");
  std::size_t failures = 0;
  for (const auto& record : recording.sink().records())
    if (record.message.rfind("Unable to encode response: ", 0) == 0) {
      ++failures;
      EXPECT_EQ(record.category, "WebSocket");
      EXPECT_EQ(record.level, log::Level::error);
    }
  EXPECT_EQ(failures, 1u);
}

TEST(LoopBackTest, HandsEveryMessageToItsCompletion) {
  std::vector<RPCMessage> seen;
  LoopBack loopBack([&](RPCMessage message) { seen.push_back(std::move(message)); });
  RPCInterface& outlet = loopBack;
  auto reply = RPC::Response::emptyResult(RPC::Response::Case::contentRestoreContent, "not-used");
  outlet.send(reply);
  outlet.send(RPCMessage(disconnected()));
  ASSERT_EQ(seen.size(), 2u);
  ASSERT_EQ(seen[0].kind(), RPCMessage::Case::response);
  EXPECT_EQ(*seen[0].response(), reply);
  ASSERT_EQ(seen[1].kind(), RPCMessage::Case::notification);
  EXPECT_EQ(*seen[1].notification(), disconnected());
}

}  // namespace
}  // namespace kestrom

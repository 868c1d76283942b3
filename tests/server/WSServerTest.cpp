// The WebSocket server's life: ports, restarts, connection events.

#include <gtest/gtest.h>

#include <atomic>

#include "KestromKit/server/WSConnection.h"
#include "KestromKit/server/WSServer.h"
#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"
#include "tests/support/WSTestClient.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using test::RecordingDelegate;
using test::WSTestClient;
using Kind = WSEvent::Kind;

TEST(WSServerTest, StartsOnARandomPortInRangeAndLogsIt) {
  log::ScopedRecording recording;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    auto running = test::startServer();
    ASSERT_NE(running.port, 0u);
    EXPECT_GE(running.port, WSServer::kLowestPort);
    EXPECT_LE(running.port, WSServer::kHighestPort);
    EXPECT_EQ(running.server->port(), running.port);
    std::string port = std::to_string(running.port);
    EXPECT_TRUE(recording.sink().contains("WebSocketServer", "Starting WSServer on port: " + port));
    EXPECT_TRUE(recording.sink().contains("WebSocketServer", "Server started on port: " + port));
    WSTestClient client;
    EXPECT_TRUE(client.connect(running.port));
  }
}

TEST(WSServerTest, DrawsAnotherPortWhenTheDrawnOneIsTaken) {
  log::ScopedRecording recording;
  wsnet::net::io_context io;
  wsnet::tcp::acceptor taken(io, wsnet::tcp::endpoint(wsnet::net::ip::address_v4::loopback(), 0));
  unsigned takenPort = taken.local_endpoint().port();
  unsigned freePort = test::freePort();
  std::atomic<int> draws = 0;

  WSServerOptions options;
  options.drawPort = [&] { return draws++ == 0 ? takenPort : freePort; };
  auto running = test::startServer(options);

  EXPECT_EQ(running.port, freePort);
  EXPECT_EQ(draws.load(), 2);
  EXPECT_EQ(running.delegate->count(Kind::onError), 1u);
  EXPECT_EQ(running.delegate->events().front().error, std::errc::address_in_use);
  EXPECT_TRUE(recording.sink().contains("WebSocketServer",
                                        "Starting the server failed due to port already taken. Retrying..."));
  EXPECT_EQ(running.delegate->count(Kind::stopped), 0u);
}

TEST(WSServerTest, StartWhileRunningStopsAndComesBackOnTheSamePort) {
  log::ScopedRecording recording;
  auto running = test::startServer();
  ASSERT_NE(running.port, 0u);
  WSTestClient before;
  ASSERT_TRUE(before.connect(running.port));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 1));

  running.server->start(0);  // a new random port is not drawn while a server exists
  auto again = running.delegate->waitForStarted(2);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, running.port);
  EXPECT_EQ(running.delegate->count(Kind::stopped), 1u);
  EXPECT_TRUE(recording.sink().contains("WebSocketServer", "Server stopped"));
  EXPECT_TRUE(before.readUntilEnd().has_value()) << "the old connection is dropped";
  EXPECT_EQ(running.server->connectionCount(), 0u);

  WSTestClient after;
  ASSERT_TRUE(after.connect(running.port));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 2));
  EXPECT_EQ(running.server->connectionCount(), 1u);
  EXPECT_EQ(running.delegate->count(Kind::stopped), 1u);
}

TEST(WSServerTest, RestartWaitsForItsPortWhileItIsBriefTaken) {
  wsnet::net::io_context io;
  auto taken = std::make_unique<wsnet::tcp::acceptor>(
      io, wsnet::tcp::endpoint(wsnet::net::ip::address_v4::loopback(), 0));
  unsigned port = taken->local_endpoint().port();

  WSServerOptions options;
  options.retryDelay = 20ms;
  options.samePortRetries = 1000;
  auto delegate = std::make_shared<RecordingDelegate>();
  auto server = WSServer::create(options);
  server->setDelegate(delegate);
  server->start(port);
  ASSERT_TRUE(delegate->waitForCount(Kind::onError, 2));
  taken.reset();
  auto started = delegate->waitForStarted();
  ASSERT_TRUE(started);
  EXPECT_EQ(*started, port);
}

TEST(WSServerTest, RestartMovesToARandomPortWhenItsPortStaysTaken) {
  wsnet::net::io_context io;
  wsnet::tcp::acceptor taken(io, wsnet::tcp::endpoint(wsnet::net::ip::address_v4::loopback(), 0));
  unsigned port = taken.local_endpoint().port();
  unsigned fallback = test::freePort();

  WSServerOptions options;
  options.retryDelay = 5ms;
  options.samePortRetries = 3;
  options.drawPort = [fallback] { return fallback; };
  auto delegate = std::make_shared<RecordingDelegate>();
  auto server = WSServer::create(options);
  server->setDelegate(delegate);
  server->start(port);
  auto started = delegate->waitForStarted();
  ASSERT_TRUE(started);
  EXPECT_EQ(*started, fallback);
  EXPECT_EQ(delegate->count(Kind::onError), 4u);
  EXPECT_EQ(server->port(), fallback);
}

TEST(WSServerTest, ReportsOpenMessagesAndCloseButNotBinaryFrames) {
  log::ScopedRecording recording;
  auto running = test::startServer();
  WSTestClient client;
  ASSERT_TRUE(client.connect(running.port));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 1));
  // A random port that was taken at start is reported too; count only what follows.
  const auto errorsAtStart = running.delegate->count(Kind::onError);
  EXPECT_TRUE(recording.sink().contains("WebSocketServer", "Connection opened! - open connections: 1"));

  ASSERT_TRUE(client.sendText("first"));
  ASSERT_TRUE(client.sendBinary(std::string("\x00\x01\x02", 3)));
  ASSERT_TRUE(client.sendText("zweite \xc3\xa9"));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onMessage, 2));
  EXPECT_EQ(running.delegate->messages(), (std::vector<std::string>{"first", "zweite \xc3\xa9"}));
  for (const auto& event : running.delegate->events()) {
    if (event.kind == Kind::onMessage) {
      EXPECT_NE(event.from, nullptr);
    }
  }

  client.close();
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onClose, 1));
  EXPECT_TRUE(recording.sink().contains("WebSocketServer", "Connection did close with code: 1000 and reason: nil"));
  EXPECT_TRUE(recording.sink().contains("WebSocketServer", "Connection closed! - open connections: 0"));
  EXPECT_EQ(running.server->connectionCount(), 0u);
  EXPECT_EQ(running.delegate->count(Kind::onError), errorsAtStart);
  EXPECT_EQ(running.delegate->count(Kind::onMessage), 2u);
}

TEST(WSServerTest, ClosingOneOfTwoLeavesTheOther) {
  auto running = test::startServer();
  WSTestClient first, second;
  ASSERT_TRUE(first.connect(running.port));
  ASSERT_TRUE(second.connect(running.port));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 2));
  first.close();
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onClose, 1));
  EXPECT_EQ(running.server->connectionCount(), 1u);
  running.server->send("still here");
  EXPECT_EQ(second.readText(), "still here");
}

TEST(WSServerTest, EventsAreDroppedOnceTheDelegateIsGone) {
  auto running = test::startServer();
  WSTestClient client;
  ASSERT_TRUE(client.connect(running.port));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 1));
  running.delegate.reset();  // held weakly: once it is gone the server must not call it
  ASSERT_TRUE(client.sendText("nobody listens"));
  running.server->send("still delivered");
  EXPECT_EQ(client.readText(), "still delivered");
}

}  // namespace
}  // namespace kestrom

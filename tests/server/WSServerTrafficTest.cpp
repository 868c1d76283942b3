// What the WebSocket server sends and receives: broadcasts, slow and vanishing peers, limits.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "KestromKit/server/WSServer.h"
#include "tests/support/WSTestClient.h"
#include "tests/support/FinishesWithin.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using test::finishesWithin;
using test::WSTestClient;
using Kind = WSEvent::Kind;

TEST(WSServerTrafficTest, EveryClientGetsEveryTextInOneOrder) {
  auto running = test::startServer();
  std::vector<std::unique_ptr<WSTestClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<WSTestClient>());
    ASSERT_TRUE(clients.back()->connect(running.port));
  }
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 3));

  // Four senders at once: frames never interleave, and every client sees the same order.
  constexpr int kSenders = 4, kEach = 50;
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s)
    senders.emplace_back([&, s] {
      for (int i = 0; i < kEach; ++i) running.server->send("sender " + std::to_string(s) + " text " + std::to_string(i));
    });
  for (auto& sender : senders) sender.join();

  std::vector<std::vector<std::string>> received(clients.size());
  for (std::size_t c = 0; c < clients.size(); ++c) {
    for (int i = 0; i < kSenders * kEach; ++i) {
      auto text = clients[c]->readText();
      ASSERT_TRUE(text) << "client " << c << " text " << i;
      received[c].push_back(*text);
    }
  }
  EXPECT_EQ(received[0], received[1]);
  EXPECT_EQ(received[0], received[2]);
  for (int s = 0; s < kSenders; ++s) {  // each sender's texts keep their own order
    int next = 0;
    for (const auto& text : received[0]) {
      if (text.rfind("sender " + std::to_string(s) + " ", 0) == 0) {
        EXPECT_EQ(text, "sender " + std::to_string(s) + " text " + std::to_string(next++));
      }
    }
    EXPECT_EQ(next, kEach);
  }
}

TEST(WSServerTrafficTest, SendsWhileConnectionsComeAndGo) {
  auto running = test::startServer();
  std::atomic<bool> sending = true;
  std::thread sender([&] {
    while (sending) running.server->send("tick");
  });
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    WSTestClient client;
    ASSERT_TRUE(client.connect(running.port));
    ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, i + 1));
    EXPECT_EQ(client.readText(), "tick");
    if (i % 2) {
      client.close();
    } else {
      client.vanish();
    }
    ASSERT_TRUE(running.delegate->waitForCount(Kind::onClose, i + 1));
  }
  sending = false;
  sender.join();
  EXPECT_EQ(running.server->connectionCount(), 0u);
}

TEST(WSServerTrafficTest, SendWithoutConnectionsReturnsAtOnce) {
  auto running = test::startServer();
  EXPECT_TRUE(finishesWithin(5s, [&] { running.server->send("nobody"); }));
  EXPECT_EQ(running.server->connectionCount(), 0u);
}

TEST(WSServerTrafficTest, SendFromTheServerQueueDoesNotDeadlock) {
  auto running = test::startServer();
  WSTestClient client;
  ASSERT_TRUE(client.connect(running.port));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 1));
  auto server = running.server;
  EXPECT_TRUE(finishesWithin(5s, [server] { server->queue()->sync([server] { server->send("from the queue"); }); }));
  EXPECT_EQ(client.readText(), "from the queue");

  // The delegate hears `stopped` on the queue itself and may answer from there.
  running.delegate->onEvent = [server](const WSEvent& event) {
    if (event.kind == Kind::stopped) server->send("while stopped");
  };
  server->start(0);
  EXPECT_TRUE(running.delegate->waitForStarted(2));
}

TEST(WSServerTrafficTest, AVanishedClientLeavesTheOthersAlone) {
  auto running = test::startServer();
  WSTestClient vanishing, staying;
  ASSERT_TRUE(vanishing.connect(running.port));
  ASSERT_TRUE(staying.connect(running.port));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 2));
  const auto errorsAtStart = running.delegate->count(Kind::onError);

  // Half a masked text frame: the header promises 100 bytes, 10 arrive, then the peer is gone.
  std::string partial = "\x81\xE4";
  partial += std::string("\x01\x02\x03\x04", 4) + std::string(10, 'x');
  ASSERT_TRUE(vanishing.writeRaw(partial));
  vanishing.vanish();
  // Writes towards the dead peer must not raise SIGPIPE (which would end this test process).
  for (int i = 0; i < 20; ++i) running.server->send("after " + std::to_string(i));

  ASSERT_TRUE(running.delegate->waitForCount(Kind::onClose, 1));
  EXPECT_EQ(running.delegate->count(Kind::onError) - errorsAtStart, 1u);
  EXPECT_EQ(running.delegate->count(Kind::stopped), 0u) << "one failing connection must not stop the server";
  EXPECT_EQ(running.server->connectionCount(), 1u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(staying.readText(), "after " + std::to_string(i));
  ASSERT_TRUE(staying.sendText("still talking"));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onMessage, 1));
  EXPECT_EQ(running.delegate->messages().back(), "still talking");
}

TEST(WSServerTrafficTest, AnOversizeMessageClosesOnlyItsConnection) {
  auto running = test::startServer();
  WSTestClient big, small;
  ASSERT_TRUE(big.connect(running.port));
  ASSERT_TRUE(small.connect(running.port));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 2));
  // A random port that was taken at start is reported too; count only what follows.
  const auto errorsAtStart = running.delegate->count(Kind::onError);

  ASSERT_TRUE(big.sendText(std::string(1 << 20, 'a')));  // 1 MiB is fine
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onMessage, 1));
  EXPECT_EQ(running.delegate->messages().back().size(), std::size_t{1} << 20);

  big.sendText(std::string((std::size_t{16} << 20) + 1, 'b'));  // may fail half-way: the server hangs up
  auto ended = big.readUntilEnd();
  ASSERT_TRUE(ended) << "the oversize connection must be closed";
  // A client whose write broke off half-way cannot answer the server's close frame: it hangs up,
  // or the server waits out its closing deadline (30 s) before it lets the connection go.
  big.vanish();
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onClose, 1));
  EXPECT_EQ(running.delegate->count(Kind::onError) - errorsAtStart, 1u);
  EXPECT_EQ(running.server->connectionCount(), 1u);
  running.server->send("small is fine");
  EXPECT_EQ(small.readText(), "small is fine");
}

TEST(WSServerTrafficTest, ASlowClientDoesNotHoldUpTheOthers) {
  auto running = test::startServer();
  WSTestClient slow, fast;
  ASSERT_TRUE(slow.connect(running.port, {}, 4096));  // never reads
  ASSERT_TRUE(fast.connect(running.port));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 2));

  // 8 MiB: more than the kernel buffers between the server and the slow reader can hold.
  constexpr int kTexts = 2048;
  const std::string chunk(4096, 'z');
  std::thread reader([&] {
    for (int i = 0; i < kTexts; ++i) {
      auto text = fast.readText();
      ASSERT_TRUE(text) << "text " << i;
      ASSERT_EQ(text->size(), chunk.size());
    }
  });
  EXPECT_TRUE(finishesWithin(10s, [&] {
    for (int i = 0; i < kTexts; ++i) running.server->send(chunk);
  }));
  reader.join();
  EXPECT_EQ(running.server->connectionCount(), 2u) << "a slow reader under the limit stays connected";
}

TEST(WSServerTrafficTest, AReaderThatFallsTooFarBehindIsClosed) {
  WSServerOptions options;
  options.maxQueuedBytes = 256 * 1024;
  auto running = test::startServer(options);
  WSTestClient slow, fast;
  ASSERT_TRUE(slow.connect(running.port, {}, 4096));
  ASSERT_TRUE(fast.connect(running.port));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 2));
  const auto errorsAtStart = running.delegate->count(Kind::onError);

  // The fast client reads each text before the next is sent, so only the slow one falls behind.
  const std::string chunk(4096, 'y');
  for (int i = 0; i < 4096 && running.delegate->count(Kind::onClose) == 0; ++i) {
    running.server->send(chunk);
    ASSERT_TRUE(fast.readText()) << "text " << i;
  }
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onClose, 1));
  EXPECT_EQ(running.delegate->count(Kind::onError) - errorsAtStart, 1u);
  EXPECT_EQ(running.server->connectionCount(), 1u);
}

}  // namespace
}  // namespace kestrom

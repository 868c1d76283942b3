// What the WebSocket server sends and receives: broadcasts, slow and vanishing peers, limits.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <thread>

#include "KestromKit/server/WSServer.h"
#include "tests/support/FinishesWithin.h"
#include "tests/support/RawHttp.h"
#include "tests/support/TimeFactor.h"
#include "tests/support/WSTestClient.h"

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

  big.sendText(std::string((std::size_t{16} << 20) + 1, 'b'));  // the server reads away what follows its close
  auto ended = big.readUntilEnd();
  ASSERT_TRUE(ended) << "the oversize connection must be closed";
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onClose, 1));
  EXPECT_EQ(running.delegate->count(Kind::onError) - errorsAtStart, 1u);
  EXPECT_EQ(running.server->connectionCount(), 1u);
  running.server->send("small is fine");
  EXPECT_EQ(small.readText(), "small is fine");
}

// A client's frame of `payload`, masked with a zero key (which leaves the payload as it is) or not.
std::string clientFrame(std::uint8_t opcode, bool final, std::string_view payload, bool masked = true) {
  std::string frame(1, static_cast<char>((final ? 0x80 : 0) | opcode));
  const int mask = masked ? 0x80 : 0;
  const std::uint64_t size = payload.size();
  const int lengthBytes = size < 126 ? 0 : size <= 0xFFFF ? 2 : 8;
  frame += static_cast<char>(mask | (lengthBytes == 0 ? size : lengthBytes == 2 ? 126 : 127));
  for (int i = lengthBytes - 1; i >= 0; --i) frame += static_cast<char>(size >> (8 * i));
  if (masked) frame.append(4, '\0');
  return frame.append(payload);
}

// The server closes on a message over its limit (1009), an unmasked frame (1002) and text that is
// not UTF-8 (1007).
class WSServerCloseTest : public testing::TestWithParam<unsigned> {};

// A client still sending a long message when the server closes reads the close, finishes the
// frame it is writing, answers with its own close and sees the server end the connection in
// order: every write of it lands and its last read finds the end of the stream, not a reset.
TEST_P(WSServerCloseTest, AClientStillSendingReadsTheCloseAndEndsWithoutAReset) {
  const unsigned code = GetParam();
  WSServerOptions options;
  if (code == 1009) options.maxMessageBytes = std::size_t{1} << 20;  // passed with 15 MiB still to send
  auto running = test::startServer(options);
  test::RawHttpConnection client(static_cast<std::uint16_t>(running.port));
  ASSERT_TRUE(client.connected());
  const timeval limit{static_cast<time_t>(test::scaledWait(10s).count()), 0};  // no hanging test
  for (int option : {SO_SNDTIMEO, SO_RCVTIMEO}) ::setsockopt(client.fd(), SOL_SOCKET, option, &limit, sizeof limit);
  ASSERT_TRUE(client.send(test::upgradeRequest("127.0.0.1:" + std::to_string(running.port), std::nullopt)));
  std::string head;
  while (!head.ends_with("\r\n\r\n")) {
    auto byte = client.readSome(1, test::scaledWait(5s));
    ASSERT_FALSE(byte.empty()) << head;
    head += byte;
  }
  ASSERT_TRUE(head.starts_with("HTTP/1.1 101")) << head;

  // 16 MiB + 1 B: one byte, then sixteen fragments of 1 MiB, the first of which the server refuses.
  const std::string codeBytes{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
  std::atomic<bool> closeRead{false};
  bool everyWriteLanded = false;
  std::thread writer([&] {
    const std::string mebibyte(std::size_t{1} << 20, 'a');
    std::string faulty = mebibyte;
    if (code == 1007) faulty[0] = '\xFF';
    bool written = client.send(clientFrame(0x1, false, "a"));
    for (int i = 1; written && i <= 16 && !closeRead; ++i)
      written = client.send(clientFrame(0x0, i == 16, i == 1 ? faulty : mebibyte, i != 1 || code != 1002));
    while (!closeRead) std::this_thread::yield();
    everyWriteLanded = written && client.send(clientFrame(0x8, true, codeBytes));
  });
  std::string close(4, '\0');
  close.resize(std::max<ssize_t>(::recv(client.fd(), close.data(), close.size(), MSG_WAITALL), 0));
  closeRead = true;
  writer.join();
  char byte;
  ssize_t got;
  while ((got = ::recv(client.fd(), &byte, 1, 0)) > 0) {}
  const int endError = got < 0 ? errno : 0;

  EXPECT_EQ(close, "\x88\x02" + codeBytes) << "the server's close frame with its code";
  EXPECT_TRUE(everyWriteLanded) << "the rest of the frame and the close answering it reach the server";
  EXPECT_EQ(endError, 0) << std::strerror(endError);
  EXPECT_TRUE(running.delegate->waitForCount(Kind::onClose, 1));
}

INSTANTIATE_TEST_SUITE_P(TooBigUnmaskedNotUtf8, WSServerCloseTest, testing::Values(1009u, 1002u, 1007u));

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

// How texts leave a connection: written at once on the sender's thread when nothing is ahead of
// them, queued for the I/O thread otherwise; either way whole, in order, and never blocking the
// sender on a reader that stopped.

#include <gtest/gtest.h>

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

// "<sender>:<index>:" then filler up to `size` bytes: a torn or merged frame shows in its text.
std::string numberedText(int sender, int index, std::size_t size) {
  std::string text = std::to_string(sender) + ":" + std::to_string(index) + ":";
  text.resize(std::max(size, text.size()), static_cast<char>('a' + (sender * 7 + index) % 26));
  return text;
}

// The sizes cycle through every header length a server frame can have (2, 4 and 10 bytes).
std::size_t sizeFor(int index) {
  constexpr std::size_t kSizes[] = {20, 125, 126, 3000, 65535, 65536, 70000, 1};
  return kSizes[index % std::size(kSizes)];
}

TEST(WSServerWireTest, ASlowReaderGetsEveryFrameWholeAndInEachSendersOrder) {
  auto running = test::startServer();
  WSTestClient reader(10s);
  ASSERT_TRUE(reader.connect(running.port, {}, 4096));  // a small window: most frames must queue
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 1));

  // Four senders at once while the reader reads nothing: about 10 MiB, far past the socket buffers.
  constexpr int kSenders = 4, kEach = 80;
  EXPECT_TRUE(finishesWithin(20s, [&] {
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
      senders.emplace_back([&, s] {
        for (int i = 0; i < kEach; ++i) running.server->send(numberedText(s, i, sizeFor(i + s)));
      });
    for (auto& sender : senders) sender.join();
  })) << "a sender waited on the reader";

  // Pings from the reader while its texts wait: the server's pongs must land between whole frames.
  const std::string maskedPing = std::string("\x89\x80", 2) + std::string("\x11\x22\x33\x44", 4);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(reader.writeRaw(maskedPing));

  int next[kSenders] = {};
  for (int n = 0; n < kSenders * kEach; ++n) {
    auto text = reader.readText();
    ASSERT_TRUE(text) << "text " << n;
    int sender = std::stoi(text->substr(0, text->find(':')));
    ASSERT_GE(sender, 0);
    ASSERT_LT(sender, kSenders);
    EXPECT_EQ(*text, numberedText(sender, next[sender], sizeFor(next[sender] + sender)));
    ++next[sender];
  }
  for (int s = 0; s < kSenders; ++s) EXPECT_EQ(next[s], kEach) << "sender " << s;

  // The connection is as good as new: the fast path takes over again once the queue is empty.
  running.server->send("after the backlog");
  EXPECT_EQ(reader.readText(), "after the backlog");
  // Every ping is answered, between whole frames; a pong still on its way comes in with a later text.
  for (int i = 0; i < 50 && reader.pongsReceived() < 3; ++i) {
    running.server->send("one more");
    ASSERT_EQ(reader.readText(), "one more");
  }
  EXPECT_EQ(reader.pongsReceived(), 3u);
  ASSERT_TRUE(reader.sendText("still here"));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onMessage, 1));
  EXPECT_EQ(running.server->connectionCount(), 1u);
  EXPECT_EQ(running.delegate->count(Kind::onClose), 0u);
}

TEST(WSServerWireTest, APeersCloseWhileTextsWaitEndsCleanly) {
  auto running = test::startServer();
  WSTestClient reader(10s);
  ASSERT_TRUE(reader.connect(running.port, {}, 4096));
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onOpen, 1));
  const std::string chunk(32 * 1024, 'q');
  for (int i = 0; i < 64; ++i) running.server->send(chunk);  // 2 MiB, mostly queued

  // A close frame from the reader; the server answers it after the queued texts, then hangs up.
  const std::string maskedClose = std::string("\x88\x82", 2) + std::string("\0\0\0\0", 4) + "\x03\xE8";
  ASSERT_TRUE(reader.writeRaw(maskedClose));
  int texts = 0;
  while (auto text = reader.readText()) {
    ASSERT_EQ(*text, chunk) << "text " << texts;
    ++texts;
  }
  EXPECT_EQ(texts, 64);
  EXPECT_EQ(reader.closeCode(), 1000u);
  ASSERT_TRUE(running.delegate->waitForCount(Kind::onClose, 1, 10s));
  EXPECT_EQ(running.server->connectionCount(), 0u);
  for (int i = 0; i < 10; ++i) running.server->send("after the close");  // nowhere to go, nothing breaks
}

TEST(WSServerWireTest, APageGetsEveryTextSentOnceItsHandshakeCompleted) {
  auto running = test::startServer();
  // The text is sent the moment the client has its handshake's answer, which may be before the
  // server's side of the handshake has finished: it must still arrive, after the answer.
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    WSTestClient page;
    ASSERT_TRUE(page.connect(running.port));
    running.server->send("hello " + std::to_string(i));
    EXPECT_EQ(page.readText(), "hello " + std::to_string(i));
  }
}

}  // namespace
}  // namespace kestrom

// The serial link's byte stream on a socketpair: writes written whole and in order however little
// the socket takes at a time, completed only once the socket has taken them, and the far end
// hanging up.

#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bluetooth/RfcommStream.h"

namespace kestrom::bluetooth {
namespace {

using namespace std::chrono_literals;

struct Events {
  std::mutex mutex;
  std::condition_variable cv;
  std::string data;
  std::vector<std::string> written;  // "name" or "name: why"
  std::optional<std::string> closed;

  template <class P>
  bool waitFor(P predicate) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, 20s, predicate);
  }
  std::size_t writtenCount() {
    std::lock_guard l(mutex);
    return written.size();
  }
  RfcommStream::Handlers handlers() {
    return {
        .data = [this](std::string bytes) { std::lock_guard l(mutex); data += bytes; cv.notify_all(); },
        .closed = [this](std::string reason) { std::lock_guard l(mutex); closed = reason; cv.notify_all(); },
    };
  }
  RfcommStream::WriteCompletion completion(std::string name) {
    return [this, name](std::optional<std::string> error) {
      std::lock_guard l(mutex);
      written.push_back(error ? name + ": " + *error : name);
      cv.notify_all();
    };
  }
};

// The stream on one end of a socketpair; the test plays the hub on the far end.
class RfcommStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    far.reset(pair[1]);
    auto opened = RfcommStream::open(OwnedFd(pair[0]), "rfcomm test", events.handlers());
    ASSERT_TRUE(opened) << opened.error();
    stream = *opened;
  }

  OwnedFd far;
  Events events;
  std::shared_ptr<RfcommStream> stream;
};

TEST_F(RfcommStreamTest, WritesEachPieceWholeAcrossAFullSocketBeforeTheNextAndEndsWhenTheHubHangsUp) {

  std::string piece(2 * 1024 * 1024, 'x');
  piece.back() = 'y';
  stream->write(piece, events.completion("first"));
  stream->write("second", events.completion("second"));
  // The socket cannot take 2 MiB at once, and nobody reads yet: nothing may be complete, and a
  // completion never runs inside the call that queued it.
  EXPECT_EQ(events.writtenCount(), 0u);

  std::string got;
  char buffer[65536];
  while (got.size() < piece.size() + 6) {
    const ssize_t n = ::recv(far.get(), buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    got.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, piece + "second");
  ASSERT_TRUE(events.waitFor([&] { return events.written.size() == 2; }));
  EXPECT_EQ(events.written, (std::vector<std::string>{"first", "second"}));

  ASSERT_EQ(::send(far.get(), "hub", 3, MSG_NOSIGNAL), 3);
  EXPECT_TRUE(events.waitFor([&] { return events.data == "hub"; }));
  far.reset();
  ASSERT_TRUE(events.waitFor([&] { return events.closed.has_value(); }));
  EXPECT_EQ(*events.closed, "the hub closed the link");
  EXPECT_FALSE(stream->isOpen());
  stream->write("after", events.completion("after"));
  EXPECT_EQ(events.written.back(), "after: the stream is closed") << "a closed stream takes nothing";
}

TEST_F(RfcommStreamTest, ClosingFailsTheWriteInFlightAndReportsNoEnd) {

  stream->write(std::string(4 * 1024 * 1024, 'z'), events.completion("big"));
  stream->close();
  {
    std::lock_guard l(events.mutex);
    EXPECT_EQ(events.written, (std::vector<std::string>{"big: the stream was closed"}));
    EXPECT_FALSE(events.closed) << "closing is not an end of the link";
  }
  // What the socket took before the close is there to read; then the far end sees the end.
  char buffer[65536];
  ssize_t n = 0;
  while ((n = ::recv(far.get(), buffer, sizeof buffer, 0)) > 0) {
  }
  EXPECT_EQ(n, 0) << "the socket is closed";
}

}  // namespace
}  // namespace kestrom::bluetooth

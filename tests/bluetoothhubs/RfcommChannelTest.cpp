// The serial link's byte stream on a socketpair: one piece in flight, written whole however little
// the socket takes at a time, and the far end hanging up.

#include <sys/socket.h>

#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "KestromKit/hubs/RfcommChannel.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;

struct Events {
  std::mutex mutex;
  std::condition_variable cv;
  std::string data;
  std::vector<std::optional<std::string>> written;
  std::optional<std::string> closed;

  template <class P>
  bool waitFor(P predicate) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, 20s, predicate);
  }
  RfcommChannel::Handlers handlers() {
    return {
        .data = [this](std::string bytes) { std::lock_guard l(mutex); data += bytes; cv.notify_all(); },
        .written = [this](std::optional<std::string> e) { std::lock_guard l(mutex); written.push_back(e); cv.notify_all(); },
        .closed = [this](std::string reason) { std::lock_guard l(mutex); closed = reason; cv.notify_all(); },
    };
  }
};

TEST(RfcommChannelTest, WritesOnePieceWholeAcrossAFullSocketAndRefusesASecondMeanwhile) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  OwnedFd far(pair[1]);
  Events events;
  std::string error;
  auto channel = RfcommChannel::open(OwnedFd(pair[0]), "rfcomm test", events.handlers(), &error);
  ASSERT_TRUE(channel) << error;

  std::string piece(2 * 1024 * 1024, 'x');
  piece.back() = 'y';
  ASSERT_TRUE(channel->write(piece));
  EXPECT_FALSE(channel->write("second")) << "the socket cannot take 2 MiB at once: the piece is still in flight";

  std::string got;
  char buffer[65536];
  while (got.size() < piece.size()) {
    const ssize_t n = ::recv(far.get(), buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    got.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, piece);
  ASSERT_TRUE(events.waitFor([&] { return events.written.size() == 1; }));
  EXPECT_FALSE(events.written[0]);
  EXPECT_TRUE(channel->write("second"));
  ASSERT_TRUE(events.waitFor([&] { return events.written.size() == 2; }));

  ASSERT_EQ(::send(far.get(), "hub", 3, MSG_NOSIGNAL), 3);
  EXPECT_TRUE(events.waitFor([&] { return events.data == "hub"; }));
  far.reset();
  EXPECT_TRUE(events.waitFor([&] { return events.closed.has_value(); }));
  EXPECT_FALSE(channel->isOpen());
  EXPECT_FALSE(channel->write("after")) << "a closed channel takes nothing";
}

}  // namespace
}  // namespace kestrom

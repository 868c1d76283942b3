#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/fdwatch/FdWatch.h"

namespace kestrom::fdwatch {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 30s;

// A connected pair of local stream sockets: the watch looks at `ours`, the test plays the peer.
struct SocketPair {
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0); }
  ~SocketPair() {
    closePeer();
    ::close(fds[0]);
  }
  int ours() const { return fds[0]; }
  int peer() const { return fds[1]; }
  void closePeer() {
    if (fds[1] >= 0) ::close(std::exchange(fds[1], -1));
  }
  int fds[2] = {-1, -1};
};

template <class Predicate>
bool eventually(Predicate ready) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST(FdWatchTest, ReportsReadableWritableOnlyWhenAskedAndOneHangUp) {
  SocketPair sockets;
  std::atomic<int> bytesRead{0};
  std::atomic<int> writableCalls{0};
  std::atomic<int> hangUps{0};
  FdWatch* watchPointer = nullptr;
  FdWatch watch(sockets.ours(), "fdwatch test",
                {.readable =
                     [&] {
                       char buffer[64];
                       ssize_t n = 0;
                       while ((n = ::read(sockets.ours(), buffer, sizeof buffer)) > 0) bytesRead += static_cast<int>(n);
                     },
                 .writable =
                     [&] {
                       ++writableCalls;
                       watchPointer->setWantWritable(false);
                     },
                 .hungUp = [&](const std::string& reason) {
                   EXPECT_FALSE(reason.empty());
                   ++hangUps;
                 }});
  watchPointer = &watch;

  ASSERT_EQ(::write(sockets.peer(), "hello", 5), 5);
  ASSERT_TRUE(eventually([&] { return bytesRead == 5; }));
  EXPECT_EQ(writableCalls, 0);  // a socket is always writable, but nobody asked

  watch.setWantWritable(true);
  ASSERT_TRUE(eventually([&] { return writableCalls == 1; }));

  sockets.closePeer();
  ASSERT_TRUE(eventually([&] { return hangUps == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(hangUps, 1);
  EXPECT_EQ(writableCalls, 1);
}

TEST(FdWatchTest, DestroyedFromItsOwnHandlerEndsWithoutDeadlock) {
  SocketPair sockets;
  struct Owner {
    std::mutex mutex;  // guards watch
    std::unique_ptr<FdWatch> watch;
    std::promise<void> destroyed;
    std::atomic<int> calls{0};
  };
  auto owner = std::make_shared<Owner>();
  std::unique_lock lock(owner->mutex);
  owner->watch = std::make_unique<FdWatch>(sockets.ours(), "fdwatch self",
                                           FdWatch::Handlers{.readable =
                                                                 [owner] {
                                                                   if (++owner->calls > 1) return;
                                                                   std::lock_guard lock(owner->mutex);
                                                                   owner->watch.reset();
                                                                   owner->destroyed.set_value();
                                                                 },
                                                             .writable = {},
                                                             .hungUp = {}});
  ASSERT_EQ(::write(sockets.peer(), "x", 1), 1);  // never read: the watch would spin if it went on
  std::future<void> destroyed = owner->destroyed.get_future();
  lock.unlock();
  ASSERT_EQ(destroyed.wait_for(kPatience), std::future_status::ready);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(owner->calls, 1);
}

TEST(FdWatchTest, DestroyedFromAnotherThreadWaitsForTheRunningHandler) {
  SocketPair sockets;
  std::promise<void> entered;
  std::atomic<bool> finished{false};
  std::atomic<int> calls{0};
  auto watch = std::make_unique<FdWatch>(sockets.ours(), "fdwatch join",
                                         FdWatch::Handlers{.readable =
                                                               [&] {
                                                                 if (++calls > 1) return;
                                                                 entered.set_value();
                                                                 std::this_thread::sleep_for(200ms);
                                                                 finished = true;
                                                               },
                                                           .writable = {},
                                                           .hungUp = {}});
  ASSERT_EQ(::write(sockets.peer(), "x", 1), 1);
  ASSERT_EQ(entered.get_future().wait_for(kPatience), std::future_status::ready);
  watch.reset();
  EXPECT_TRUE(finished);
}

}  // namespace
}  // namespace kestrom::fdwatch

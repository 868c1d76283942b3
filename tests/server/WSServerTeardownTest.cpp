// The WebSocket server's teardown: once the owner has let go (or called shutdown), nothing of the
// server listens any more, however the teardown met the start.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/server/WSServer.h"
#include "platform/dispatch/DetachedThreads.h"
#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"
#include "tests/support/WSTestClient.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using test::RecordingDelegate;
using Kind = WSEvent::Kind;

// Whether something accepts TCP connections on 127.0.0.1:`port` (a listener's backlog takes them
// even when nobody calls accept).
bool accepts(unsigned port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

// Whether this process holds a socket listening on TCP `port`. Another program may listen on the
// same port once ours let it go, and the server moves on from a random port it finds taken: a
// connection that gets through says nothing about whose listener took it.
bool listensHere(unsigned port) {
  std::set<std::string> inodes;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      const auto colon = local.rfind(':');
      if (state != "0A" || colon == std::string::npos) continue;  // 0A: LISTEN
      if (std::stoul(local.substr(colon + 1), nullptr, 16) == port) inodes.insert(inode);
    }
  }
  if (inodes.empty()) return false;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    auto target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (target.rfind("socket:[", 0) == 0 && inodes.count(target.substr(8, target.size() - 9))) return true;
  }
  return false;
}

// How long the I/O thread takes from a start to the listener's `started` here and now (the
// median of a few starts).
std::chrono::microseconds timeToStart() {
  std::vector<std::chrono::microseconds> times;
  for (int round = 0; round < 9; ++round) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto server = WSServer::create();
    server->setDelegate(delegate);
    const auto begun = std::chrono::steady_clock::now();
    server->start(0);
    if (!delegate->waitForStarted(1)) continue;
    times.push_back(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begun));
  }
  if (times.empty()) return std::chrono::milliseconds(5);
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// A shutdown that lands while the I/O thread opens the listener of the first start: the listener
// must not be installed behind the shutdown's back, where nothing would ever close it. The
// rounds spread the shutdown over the start's first moments, so that many of them meet the
// listener half made.
TEST(WSServerTeardownTest, AShutdownDuringTheStartLeavesNothingListening) {
  std::mt19937 random(12345);
  // Shutdowns spread over the time the listener takes to open, and a little beyond.
  const auto spread = timeToStart() * 3 / 2;
  std::uniform_int_distribution<long> delayMicroseconds(0, std::max<long>(spread.count(), 100));
  WSServerOptions options;
  options.teardownWait = 200ms;  // a listener left running costs this much per round
  constexpr int kRounds = 300;
  int listening = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto server = WSServer::create(options);
    server->setDelegate(delegate);
    server->start(0);
    const unsigned port = server->port();
    // Spins rather than sleeps: a sleep's wake-up would round the delays up.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delayMicroseconds(random));
    while (std::chrono::steady_clock::now() < until) {
    }
    server->shutdown();
    if (listensHere(port)) ++listening;
    server.reset();
  }
  EXPECT_EQ(listening, 0) << "rounds whose listener outlived the shutdown, of " << kRounds;
}

// A handler that holds the I/O thread past the teardown's wait makes the teardown stop the thread
// before it has closed the sockets. Nothing listens afterwards all the same: the closing runs on
// the teardown's own thread.
TEST(WSServerTeardownTest, AStoppedIOThreadStillClosesTheListener) {
  log::ScopedRecording recording;
  WSServerOptions options;
  options.teardownWait = 50ms;
  auto delegate = std::make_shared<RecordingDelegate>();
  std::mutex mutex;
  std::condition_variable changed;
  bool holding = false;
  bool released = false;
  delegate->onEvent = [&](const WSEvent& event) {
    if (event.kind != Kind::started) return;
    std::unique_lock lock(mutex);
    holding = true;
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
  };
  auto server = WSServer::create(options);
  server->setDelegate(delegate);
  server->start(0);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return holding; }));
  }
  const unsigned port = server->port();
  ASSERT_TRUE(accepts(port));

  // The handler lets go once the teardown has given up waiting and stopped the thread.
  std::thread releaser([&] {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!recording.sink().contains("WebSocketServer", "did not finish its work in time") &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  });
  // The I/O thread holds the server while it reports, so the owner's shutdown does the teardown.
  server->shutdown();
  releaser.join();
  EXPECT_TRUE(recording.sink().contains("WebSocketServer", "did not finish its work in time"));
  EXPECT_FALSE(listensHere(port)) << "the listener outlived its server";
}

// The last owner letting go on the I/O thread itself: the thread cannot be joined there, so it
// ends on its own, and is counted until it has.
TEST(WSServerTeardownTest, TheLastOwnerLettingGoOnTheIOThreadLeavesNoThreadBehind) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto server = WSServer::create();
  std::shared_ptr<WSServer> held = server;
  std::mutex mutex;
  std::condition_variable changed;
  bool handedOver = false;
  delegate->onEvent = [&](const WSEvent& event) {
    if (event.kind != Kind::started) return;
    std::shared_ptr<WSServer> last;
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return handedOver; });
      last = std::move(held);
    }
    last.reset();  // the teardown runs here, on the I/O thread
  };
  server->setDelegate(delegate);
  server->start(0);
  const unsigned port = server->port();
  std::weak_ptr<WSServer> watched = server;
  server.reset();
  {
    std::lock_guard lock(mutex);
    handedOver = true;
  }
  changed.notify_all();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!watched.expired() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(watched.expired());
  EXPECT_TRUE(dispatch::waitForDetachedThreads(20s)) << "the I/O thread never ended";
  EXPECT_EQ(delegate->count(Kind::started), 1u);
  EXPECT_FALSE(listensHere(port));
}

}  // namespace
}  // namespace kestrom

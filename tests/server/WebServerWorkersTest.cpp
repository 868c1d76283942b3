// The server's workers over real loopback sockets: several threads waiting in accept on one
// listening socket, connections served side by side up to the cap, files small and large sent
// whole (also when the socket will not take a small one at once), a static file answered while
// every worker waits for a body, "/debug" with a body refused without one, and a client that
// stops reading given up at the write time-out.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "KestromKit/server/SessionSecret.h"
#include "KestromKit/server/WebServer.h"
#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"
#include "platform/tcp/TCPServer.h"
#include "tests/server/ServerTestDoubles.h"
#include "tests/server/WebServerHarness.h"
#include "tests/support/RawHttp.h"

namespace kestrom {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::makeHttpRequest;
using test::RawHttpConnection;
using test::RawHttpResponse;
using test::WebServerHarness;
using Accept = tcp::TCPServer::AcceptStatus;

int connectTo(std::int32_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST(TCPServerAcceptTest, ThreadsWaitTogetherEachConnectionWakesOneAndShutdownWakesTheRest) {
  tcp::TCPServer server("127.0.0.1", 0);
  ASSERT_FALSE(server.listen().isFailure());
  std::vector<std::future<tcp::TCPServer::Accepted>> waiting;
  for (int i = 0; i < 4; ++i) waiting.push_back(std::async(std::launch::async, [&] { return server.accept(); }));

  int first = connectTo(server.port());
  int second = connectTo(server.port());
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  // Two of the four take one connection each; the other two go on waiting.
  std::vector<tcp::TCPServer::Accepted> done;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (done.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    for (auto it = waiting.begin(); it != waiting.end();) {
      if (it->wait_for(10ms) == std::future_status::ready) {
        done.push_back(it->get());
        it = waiting.erase(it);
      } else {
        ++it;
      }
    }
  }
  ASSERT_EQ(done.size(), 2u);
  for (const auto& accepted : done) {
    EXPECT_EQ(accepted.status, Accept::accepted);
    ASSERT_GE(accepted.fd, 0);
    EXPECT_TRUE(::fcntl(accepted.fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(accepted.fd, F_GETFD) & FD_CLOEXEC);
    ::close(accepted.fd);
  }
  EXPECT_NE(done[0].fd, done[1].fd);
  EXPECT_EQ(waiting.size(), 2u);

  server.shutdown();
  for (auto& rest : waiting) {
    ASSERT_EQ(rest.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(rest.get().status, Accept::closed);
  }
  EXPECT_EQ(server.accept().status, Accept::closed);  // and every later call
  ::close(first);
  ::close(second);
}

TEST(TCPServerAcceptTest, AWaitEndsAtTheAcceptTimeOut) {
  tcp::TCPServer server("127.0.0.1", 0, 200ms);
  ASSERT_FALSE(server.listen().isFailure());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(server.accept().status, Accept::timedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
  // Still listening afterwards.
  int client = connectTo(server.port());
  ASSERT_GE(client, 0);
  auto accepted = server.accept();
  EXPECT_EQ(accepted.status, Accept::accepted);
  if (accepted.fd >= 0) ::close(accepted.fd);
  ::close(client);
}

/// A route that counts the requests inside it at once; each waits (bounded) until `target` are in.
class Gathering {
 public:
  explicit Gathering(std::size_t target) : target_(target) {}

  WebServerResponse route() {
    std::unique_lock lock(mutex_);
    ++inside_;
    most_ = std::max(most_, inside_);
    changed_.notify_all();
    changed_.wait_for(lock, 5s, [&] { return inside_ >= target_ || gathered_; });
    gathered_ = true;  // a full group met: the rest of this wave need not wait for more
    --inside_;
    if (inside_ == 0) gathered_ = false;
    return WebServerResponse::ok({}, "gathered");
  }
  std::size_t most() const {
    std::lock_guard lock(mutex_);
    return most_;
  }

 private:
  const std::size_t target_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t inside_ = 0;
  std::size_t most_ = 0;
  bool gathered_ = false;
};

std::vector<RawHttpResponse> getAtOnce(std::uint16_t port, int count) {
  std::vector<std::future<RawHttpResponse>> answers;
  for (int i = 0; i < count; ++i)
    answers.push_back(std::async(std::launch::async, [port] { return test::rawHttp(port, makeHttpRequest("GET", "/x"), 20s); }));
  std::vector<RawHttpResponse> out;
  for (auto& answer : answers) out.push_back(answer.get());
  return out;
}

TEST(WebServerWorkersTest, ConnectionsAreServedSideBySideUpToTheCap) {
  for (std::size_t cap : {std::size_t{1024}, std::size_t{4}}) {
    SCOPED_TRACE(cap);
    WebServerLimits limits;
    limits.maxConnections = cap;
    const std::size_t target = std::min<std::size_t>(cap, 24);
    auto gathering = std::make_shared<Gathering>(target);
    WebServerHarness h(limits, {}, [&](WebServerServices services, WebServerLimits l) {
      return std::make_unique<WebServer>(std::move(services), false, l,
                                         [gathering](const WebServerRequest&) { return gathering->route(); });
    });
    h.startAndWait();
    for (const auto& answer : getAtOnce(h.port, 24)) {
      EXPECT_EQ(answer.status, 200);
      EXPECT_EQ(answer.body, "gathered");
    }
    // Every request found a worker of its own at once, but never more than the cap.
    EXPECT_EQ(gathering->most(), target);
  }
}

std::string randomBytes(std::size_t count) {
  std::mt19937 random(static_cast<unsigned>(count));
  std::string bytes(count, '\0');
  for (auto& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST(WebServerWorkersTest, FilesOfEverySizeArriveWhole) {
  WebServerHarness h;
  h.startAndWait();
  // Empty, small (sent with the head in one write), at the edge, and large (streamed).
  for (std::size_t size : {std::size_t{0}, std::size_t{10240}, std::size_t{65536}, std::size_t{65537},
                           std::size_t{3 << 20}}) {
    SCOPED_TRACE(size);
    const std::string bytes = randomBytes(size);
    WebServerHarness::write(h.webroot / "file.bin", bytes);
    auto answer = h.get("/file.bin");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.header("Content-Length"), std::to_string(size));
    EXPECT_TRUE(answer.body == bytes) << answer.body.size() << " bytes";
  }
  // The same worker threads serve on after many connections.
  for (int i = 0; i < 50; ++i) ASSERT_EQ(h.get("/file.bin").status, 200);
}

TEST(WebServerWorkersTest, AClientThatStopsReadingIsGivenUpAtTheWriteTimeOut) {
  // A sparse 64 MiB file: far more than the socket buffers hold.
  auto file = test::openSparseFile(64 << 20);
  ASSERT_TRUE(file);

  WebServerLimits limits;
  limits.writeTimeout = 300ms;
  log::ScopedRecording recording;
  WebServerHarness h(limits, {}, [&](WebServerServices services, WebServerLimits l) {
    return std::make_unique<WebServer>(std::move(services), false, l, [file](const WebServerRequest&) {
      return WebServerResponse::ok({}, WebServerFileRegion::whole(file));
    });
  });
  h.startAndWait();

  RawHttpConnection stuck(h.port);
  ASSERT_TRUE(stuck.send(makeHttpRequest("GET", "/big")));
  const std::string wanted = "Unable to send status: 200 OK body: " + std::to_string(64 << 20);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!recording.sink().contains("WebServer", wanted) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(recording.sink().contains("WebServer", wanted));
}

TEST(WebServerWorkersTest, ASmallFileTheSocketCannotTakeAtOnceStillArrivesWhole) {
  WebServerHarness h;
  h.startAndWait();
  const std::string bytes = randomBytes(60 * 1024);
  WebServerHarness::write(h.webroot / "small.bin", bytes);
  // Accepted sockets inherit the listener's buffer sizes: ours then takes a few KiB at once, and
  // a client that waits before it reads makes the rest wait for room.
  const int listening = test::listeningSocketOn(h.port);
  ASSERT_GE(listening, 0);
  const int sendBuffer = 4096;
  ASSERT_EQ(::setsockopt(listening, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer), 0);

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  const int receiveBuffer = 2048;
  ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer), 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(h.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string request = makeHttpRequest("GET", "/small.bin");
  ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  std::this_thread::sleep_for(300ms);
  std::string raw;
  char chunk[4096];
  timeval timeout{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  while (true) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    raw.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  auto answer = test::parseRawHttpResponse(raw);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.header("Content-Length"), std::to_string(bytes.size()));
  EXPECT_TRUE(answer.body == bytes) << answer.body.size() << " bytes";
  // And the server serves on.
  EXPECT_EQ(h.get("/small.bin").status, 200);
}

TEST(WebServerWorkersTest, AStaticFileIsAnsweredWhileEveryWorkerWaitsForABody) {
  WebServerLimits limits;
  limits.maxConnections = 1;
  WebServerHarness h(limits);
  h.startAndWait();
  WebServerHarness::write(h.webroot / "index.html", "<p>page</p>");
  // An upload that declares its body and never sends it holds the only worker for the body's
  // time limit (seconds).
  RawHttpConnection uploader(h.port);
  ASSERT_TRUE(uploader.send(makeHttpRequest(
      "POST", "/content/tmp/a.bin", {{"Content-Type", "multipart/form-data; boundary=b"}, {"Content-Length", "100000"}})));
  std::this_thread::sleep_for(200ms);  // taken by the worker
  const auto start = std::chrono::steady_clock::now();
  auto page = h.get("/index.html");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body, "<p>page</p>");
  // Generous: the upload's time limit is 10 s and more.
  EXPECT_LT(took, 5s);
  uploader.abort();
}

TEST(WebServerWorkersTest, ADebugRequestWithABodyIsRefusedFromItsHeadWithoutAWorker) {
  WebServerLimits limits;
  limits.maxConnections = 1;
  auto session = std::make_shared<SessionSecret>();
  WebServerHarness h(limits, [&](WebServerServices& s) { s.session = session; });
  h.startAndWait();
  // Without the cookie, bodies that would take hours to arrive (and go to the disk): each is
  // answered at once, while its client still holds the connection open.
  std::vector<std::unique_ptr<RawHttpConnection>> drippers;
  for (const char* declared : {"Content-Length: 536870912", "Transfer-Encoding: chunked", "Content-Length: x"}) {
    SCOPED_TRACE(declared);
    drippers.push_back(std::make_unique<RawHttpConnection>(h.port));
    ASSERT_TRUE(drippers.back()->send("POST /debug?code=" + session->debugCode() + " HTTP/1.1\r\n" + declared + "\r\n\r\nx"));
    EXPECT_EQ(drippers.back()->readSome(24, 3s), "HTTP/1.1 400 BAD REQUEST");
  }
  // The only worker was never taken: the page's request, which needs one, is served at once.
  auto page = test::rawHttp(h.port, makeHttpRequest("POST", "/v1/sentryEnabled", {{"Cookie", session->cookie()}},
                                                    R"({"enabled": true})"), 3s);
  EXPECT_EQ(page.status, 200);
  EXPECT_TRUE(fs::is_empty(h.tmp)) << "nothing was spooled";
  EXPECT_FALSE(session->debugCode().empty()) << "the code is still unspent";
}

}  // namespace
}  // namespace kestrom

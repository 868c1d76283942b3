// The HTTP server at its limits: connections that never finish their head are held only briefly
// and only so many at once, a method that is not a token is malformed, the log never holds the
// session secret or the "/debug" code and takes only a few refusals a second, the loop rests
// while the process is out of descriptors, and files are opened under their root by the kernel,
// links included.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/server/SessionSecret.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/server/WebServer.h"
#include "platform/log/FakeLogSink.h"
#include "platform/tcp/DescriptorLimit.h"
#include "tests/server/ServerTestDoubles.h"
#include "tests/support/ConnectionFlood.h"
#include "tests/server/WebServerHarness.h"
#include "tests/support/Eventually.h"
#include "tests/support/RawHttp.h"
#include "tests/support/WSTestClient.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::makeHttpRequest;
using test::rawHttp;
using test::RawHttpConnection;
using test::WebServerHarness;
using Clock = std::chrono::steady_clock;

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Any eight consecutive digits of `secret` in `text`, in either letter case.
bool holdsPartOf(const std::string& text, const std::string& secret) {
  std::string lower = text;
  for (auto& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
  for (std::size_t i = 0; i + 8 <= lower.size(); ++i) {
    if (!std::all_of(lower.begin() + static_cast<std::ptrdiff_t>(i), lower.begin() + static_cast<std::ptrdiff_t>(i + 8), isHex))
      continue;
    if (secret.find(lower.substr(i, 8)) != std::string::npos) return true;
  }
  return false;
}

TEST(WebServerLimitsTest, AMethodThatIsNotATokenIsMalformed) {
  WebServerHarness h;
  WebServerHarness::write(h.webroot / "x", "x");
  h.startAndWait();
  EXPECT_EQ(rawHttp(h.port, "FOO\x01 /x HTTP/1.1\r\n\r\n").status, 400);
  EXPECT_EQ(rawHttp(h.port, "G(T /x HTTP/1.1\r\n\r\n").status, 400);
  EXPECT_EQ(rawHttp(h.port, " /x HTTP/1.1\r\n\r\n").status, 400) << "no method at all";
  // A token that names no method the server knows is still a request, routed and refused there.
  EXPECT_NE(rawHttp(h.port, "FOO /x HTTP/1.1\r\n\r\n").status, 400);
  EXPECT_EQ(rawHttp(h.port, "GET /x HTTP/1.1\r\n\r\n").status, 200);
}

TEST(WebServerLimitsTest, TheLogNeverHoldsTheSecretNorTheDebugCode) {
  auto session = std::make_shared<SessionSecret>();
  const std::string secret = session->value();
  const std::string code = session->debugCode();
  WebServerLimits limits;
  limits.refusalLinesPerSecond = 100;  // every refusal below gets its line
  WebServerHarness h(limits, [&](WebServerServices& services) { services.session = session; });
  h.startAndWait();
  auto ws = test::startServer();
  ASSERT_NE(ws.port, 0u);
  log::ScopedRecording recording;
  const std::string cookie = session->cookie();
  const std::vector<std::string> requests = {
      // A target that is no URL, with the cookie right behind the request line.
      "GET /%zz HTTP/1.1\r\nCookie: " + cookie + "\r\n\r\n",
      "GET /a b c HTTP/1.1\r\ncookie:" + cookie + "\r\n\r\n",
      "FOO\x01 / HTTP/1.1\r\nCOOKIE : " + cookie + "\r\n\r\n",
      // Two Hosts, cookie first; a head that is cut off mid-cookie.
      "GET / HTTP/1.1\r\nCookie: " + cookie + "\r\nHost: a\r\nHost: b\r\n\r\n",
      "GET /x HTTP/1.1\r\nCookie: " + cookie.substr(0, 40),
      // The secret where no cookie belongs: in the target, on a folded line, in upper case.
      "GET /" + secret + " HTTP/1.1\r\n\r\n",
      "GET /%zz HTTP/1.1\r\nX: 1\r\n " + cookie + "\r\n\r\n",
      "GET /%zz HTTP/1.1\r\nX-Echo: " + std::string(secret.begin() + 10, secret.begin() + 30) + "\r\n\r\n",
      // The code of "/debug" in a request that does not redeem it.
      "GET /debug?code=" + code + " HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
      "GET /" + code + " HTTP/1.1\r\n\r\n",
      // The page's own requests whose paths carry the secret: 404s and content.
      "GET /" + secret + " HTTP/1.1\r\nCookie: " + cookie + "\r\n\r\n",
      "GET /content/" + secret + "/movie.mp4 HTTP/1.1\r\nCookie: " + cookie + "\r\n\r\n",
  };
  for (const auto& bytes : requests) {
    SCOPED_TRACE(bytes);
    auto answer = rawHttp(h.port, bytes, 5s);
    EXPECT_NE(answer.status, 200);
  }
  std::string upper = "GET /%zz HTTP/1.1\r\nX: ";
  for (char c : secret) upper += static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  upper += "\r\n\r\n";
  EXPECT_EQ(rawHttp(h.port, upper, 5s).status, 400);
  // A body shorter than it says, from the page itself: the worker's own 400.
  {
    RawHttpConnection c(h.port);
    c.send("POST /v1/sentryEnabled HTTP/1.1\r\nCookie: " + cookie + "\r\nContent-Length: 10\r\n\r\n{");
    c.shutdownWrite();
    EXPECT_EQ(c.readResponse(5s).status, 400);
  }
  // The other server's log: an upgrade refused for the Host and Origin it names, as sent and
  // percent-encoded.
  EXPECT_EQ(test::rawExchange(ws.port, test::upgradeRequest(secret, "http://" + code)).substr(0, 12), "HTTP/1.1 403");
  std::string encoded;
  for (char c : secret) encoded += "%" + std::to_string(c / 16) + "0123456789abcdef"[c % 16];
  EXPECT_EQ(test::rawExchange(ws.port, test::upgradeRequest(encoded, "http://" + code)).substr(0, 12), "HTTP/1.1 403");
  // The log did get the requests (so there was something to look at).
  EXPECT_TRUE(recording.sink().contains("WebServer", "400 | Received"));
  EXPECT_TRUE(recording.sink().contains("WebServer", "404 | GET"));
  EXPECT_TRUE(recording.sink().contains("WebSocketServer", "Refused WebSocket upgrade with Host: "));
  for (const auto& record : recording.sink().records()) {
    SCOPED_TRACE(record.message);
    EXPECT_FALSE(holdsPartOf(record.message, secret));
    EXPECT_FALSE(holdsPartOf(record.message, code));
    EXPECT_EQ(record.message.find(encoded.substr(0, 24)), std::string::npos);
  }
}

TEST(WebServerLimitsTest, RefusalsReachTheLogAFewLinesASecondAndTheRestAsACount) {
  auto session = std::make_shared<SessionSecret>();
  WebServerHarness h({}, [&](WebServerServices& services) { services.session = session; });
  h.startAndWait();
  log::ScopedRecording recording;
  std::size_t bytes = 0;
  std::uint64_t lines = 0;
  std::uint64_t counted = 0;
  const std::regex count(R"((\d+) more like it since the last one logged)");
  auto tally = [&] {
    bytes = 0;
    lines = 0;
    counted = 0;
    for (const auto& record : recording.sink().records()) {
      // As stderr has it: time, thread, level and channel in front, a line break after.
      bytes += 48 + record.subsystem.size() + record.category.size() + record.message.size();
      if (record.message.find("without the session cookie") == std::string::npos) continue;
      std::smatch found;
      if (std::regex_search(record.message, found, count)) counted += std::stoull(found[1]);
      if (record.message.rfind("Left out ", 0) != 0) ++lines;
    }
    return lines + counted;
  };
  // Another user's burst without the cookie: its count comes once its second is over, with no
  // further request to carry it; then one more.
  constexpr int kBurst = 2000;
  for (int i = 0; i < kBurst; ++i) ASSERT_EQ(rawHttp(h.port, makeHttpRequest("GET", "/index.html")).status, 403);
  EXPECT_TRUE(test::eventually([&] { return tally() == kBurst; })) << lines << " lines, " << counted << " counted";
  ASSERT_EQ(rawHttp(h.port, makeHttpRequest("GET", "/index.html")).status, 403);
  EXPECT_TRUE(test::eventually([&] { return tally() == kBurst + 1; }));
  EXPECT_LT(bytes, 64u * 1024);
}

TEST(WebServerLimitsTest, OutOfDescriptorsTheLoopRestsAndServesOnceThereAreSome) {
  WebServerHarness h;
  WebServerHarness::write(h.webroot / "index.html", "<p>page</p>");
  h.startAndWait();
  log::ScopedRecording recording;
  const int page = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(page, 0);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // No new descriptor for anyone in this process, the server's reserve included: the page's
  // connection waits in the backlog and keeps the listening socket readable.
  const rlimit none{0, saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(h.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string request = makeHttpRequest("GET", "/index.html");
  const bool sent = ::connect(page, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::send(page, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
  const std::clock_t before = std::clock();  // the CPU time of the whole process
  std::this_thread::sleep_for(2s);
  const double used = static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(sent);
  EXPECT_LT(used, 0.5) << "seconds of CPU in two seconds out of descriptors";

  // Descriptors to be had again: the waiting page is served.
  timeval timeout{10, 0};
  ::setsockopt(page, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string raw;
  char chunk[4096];
  for (ssize_t n; (n = ::recv(page, chunk, sizeof chunk, 0)) > 0;) raw.append(chunk, static_cast<std::size_t>(n));
  ::close(page);
  EXPECT_EQ(test::parseRawHttpResponse(raw).body, "<p>page</p>");
  std::size_t failures = 0;
  for (const auto& record : recording.sink().records())
    failures += record.message.find("out of descriptors") != std::string::npos;
  EXPECT_GE(failures, 1u);
  EXPECT_LE(failures, 3u) << "once a second at most";
}

TEST(WebServerLimitsTest, QuietConnectionsAreHeldBrieflyAndOnlySoManyAtOnce) {
  ASSERT_GE(tcp::raiseDescriptorLimit(), 800u) << "this test needs 800 descriptors";
  WebServerLimits limits;
  limits.maxPendingHeads = 16;
  limits.headTimeout = 1500ms;
  WebServerHarness h(limits);
  WebServerHarness::write(h.webroot / "index.html", "<html>");
  h.startAndWait();

  // A single quiet client: answered 408 at its head deadline, not the body's ten seconds.
  {
    RawHttpConnection quiet(h.port);
    const auto start = Clock::now();
    auto answer = quiet.readResponse(8s);
    EXPECT_EQ(answer.statusLine, "HTTP/1.1 408 REQUEST TIMEOUT");
    EXPECT_LT(Clock::now() - start, 6s);
  }
  // A dripping head fares no better than a quiet one.
  {
    RawHttpConnection dripping(h.port);
    const auto start = Clock::now();
    bool open = true;
    for (int i = 0; i < 60 && open; ++i) {
      open = dripping.send("G");
      std::this_thread::sleep_for(100ms);
      if (dripping.waitForClose(0ms)) break;
    }
    EXPECT_LT(Clock::now() - start, 6s);
  }

  // Many more quiet connections than may be held: the oldest go first, the page is served.
  std::vector<std::unique_ptr<RawHttpConnection>> idle;
  for (int i = 0; i < 300; ++i) {
    idle.push_back(std::make_unique<RawHttpConnection>(h.port));
    ASSERT_TRUE(idle.back()->connected());
  }
  for (int i = 0; i < 10; ++i) EXPECT_EQ(h.get("/index.html").status, 200);
  // Counted at the server: a connection the kernel has not yet handed to it (still waiting for its
  // first bytes, or queued for accept) looks open to its client without holding anything of ours.
  // One over the cap for a moment: a connection just accepted, for which the oldest is dropped.
  EXPECT_LE(test::mostConnectionsHeldOn(h.port, 2s), 16u + 1) << "no more are held than the cap";
  EXPECT_TRUE(idle.front()->waitForClose(3s)) << "the oldest was dropped";
}

TEST(WSServerLimitsTest, ConnectionsWithoutAnUpgradeAreHeldBrieflyAndOnlySoManyAtOnce) {
  ASSERT_GE(tcp::raiseDescriptorLimit(), 800u) << "this test needs 800 descriptors";
  auto running = test::startServer();
  ASSERT_NE(running.port, 0u);
  const auto port = static_cast<std::uint16_t>(running.port);
  {
    RawHttpConnection quiet(port);
    const auto start = Clock::now();
    EXPECT_TRUE(quiet.waitForClose(8s));
    EXPECT_LT(Clock::now() - start, 6s) << "held for its two seconds, not thirty";
  }
  std::vector<std::unique_ptr<RawHttpConnection>> idle;
  for (int i = 0; i < 300; ++i) {
    idle.push_back(std::make_unique<RawHttpConnection>(port));
    ASSERT_TRUE(idle.back()->connected());
  }
  test::WSTestClient page;
  EXPECT_TRUE(page.connect(running.port)) << "the page still gets in";
  // Counted at the server, as above; the page's own connection is one of them.
  EXPECT_LE(test::mostConnectionsHeldOn(port, 2s), 128u + 1 + 1) << "no more are held than the cap";
  EXPECT_TRUE(idle.front()->waitForClose(3s)) << "the oldest was dropped";
  page.close();
}

TEST(WebServerLimitsTest, UnderALowDescriptorLimitAnotherUsersConnectionsLeaveThePageItsShare) {
  // The limit the host runs with under `prlimit --nofile=256:256`, when both servers start: each
  // list of connections anyone may hold gets a twelfth of it.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Put back however the test ends, so that a failed assertion leaves the next tests their limit.
  struct RestoreLimit {
    rlimit saved;
    ~RestoreLimit() { ::setrlimit(RLIMIT_NOFILE, &saved); }
  } restore{saved};
  const rlimit low{256, saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  constexpr std::size_t kCap = 256 / 4 / 3;
  {
    WebServerHarness h;
    WebServerHarness::write(h.webroot / "index.html", "<html>");
    h.startAndWait();
    auto ws = test::startServer();
    ASSERT_NE(ws.port, 0u);
    test::ConnectionFlood flood({.ports = {h.port, ws.port}, .perPort = 400, .processes = 2});
    ASSERT_TRUE(flood.waitForOpened(800, 20s)) << flood.opened() << " connections opened";
    const std::string save = makeHttpRequest("POST", "/content/tmp/saved.bin",
                                             {{"Content-Type", "multipart/form-data; boundary=--b"}},
                                             "----b\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nsaved\r\n----b--\r\n");
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(h.get("/index.html").status, 200);
      EXPECT_EQ(rawHttp(h.port, save).status, 200);
    }
    test::WSTestClient page;
    EXPECT_TRUE(page.connect(ws.port));
    // Heads and answered refusals; on the other port the page's connection. For a moment one
    // just accepted and one dropped for it but not yet closed may be over the cap.
    EXPECT_LE(test::mostConnectionsHeldOn(h.port, 1s), 2 * kCap + 2);
    EXPECT_LE(test::mostConnectionsHeldOn(static_cast<std::uint16_t>(ws.port), 1s), kCap + 1 + 2);
  }
}

// Runs the WebSocket server out of descriptors while a page connects, then gives them back;
// exits with 0 when that page got its upgrade.
[[noreturn]] void upgradeAfterRunningOutOfDescriptors() {
  log::ScopedRecording recording;  // the server's start-up lines pass through it first
  auto running = test::startServer();
  // As in the host, a page has talked to the server before.
  test::WSTestClient first;
  const bool served = first.connect(running.port) && first.sendText("hello") &&
                      running.delegate->waitForCount(WSEvent::Kind::onMessage, 1);
  const int page = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit none{0, saved.rlim_max};
  ::setrlimit(RLIMIT_NOFILE, &none);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(running.port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = ::connect(page, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  // Nothing here calls on an object the sanitizers have not checked yet, which takes a descriptor.
  std::this_thread::sleep_for(500ms);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  const bool rested = recording.sink().contains("WebSocketServer", "Accepting a connection failed");
  const std::string request = test::upgradeRequest("127.0.0.1:" + std::to_string(running.port), std::nullopt);
  timeval timeout{10, 0};
  ::setsockopt(page, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char answer[12] = {};
  const bool upgraded = ::send(page, request.data(), request.size(), MSG_NOSIGNAL) > 0 &&
                        ::recv(page, answer, sizeof answer, MSG_WAITALL) == sizeof answer &&
                        std::string_view(answer, sizeof answer) == "HTTP/1.1 101";
  std::_Exit(served && connected && rested && upgraded ? 0 : 1);
}

TEST(WSServerLimitsTest, OutOfDescriptorsTheListenerRestsAndServesOnceThereAreSome) {
  // In a process of its own, whose first failed accept is the one out of descriptors: the
  // sanitizer builds check a call they have not seen before with a descriptor of their own.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(upgradeAfterRunningOutOfDescriptors(), testing::ExitedWithCode(0), "");
}

class RootsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    outside = h.root / "outside";
    fs::create_directories(outside);
    WebServerHarness::write(outside / "secret.txt", "not for the page");
    WebServerHarness::write(h.webroot / "page.txt", "page");
    WebServerHarness::write(h.webroot / "sub" / "inner.txt", "inner");
    h.startAndWait();
  }
  WebServerHarness h;
  fs::path outside;
};

TEST_F(RootsTest, ALinkOutOfTheRootServesNothing) {
  fs::create_symlink(outside / "secret.txt", h.webroot / "absolute.txt");
  fs::create_symlink("../outside/secret.txt", h.webroot / "relative.txt");
  fs::create_directory_symlink("../outside", h.webroot / "folder");
  fs::create_symlink("/proc/self/root/etc/hostname", h.webroot / "magic.txt");
  for (const char* target : {"/absolute.txt", "/relative.txt", "/folder/secret.txt", "/magic.txt"}) {
    SCOPED_TRACE(target);
    auto answer = h.get(target);
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(answer.body.find("not for the page"), std::string::npos);
  }
  // A link that stays inside is followed.
  fs::create_symlink("sub/inner.txt", h.webroot / "alias.txt");
  EXPECT_EQ(h.get("/alias.txt").body, "inner");
  EXPECT_EQ(h.get("/page.txt").body, "page");
}

TEST_F(RootsTest, ALinkSwappedInAfterTheFirstRequestServesNothing) {
  EXPECT_EQ(h.get("/page.txt").body, "page");
  EXPECT_EQ(h.get("/sub/inner.txt").body, "inner");
  // The file, then a folder on its path, become links out of the root.
  fs::remove(h.webroot / "page.txt");
  fs::create_symlink(outside / "secret.txt", h.webroot / "page.txt");
  fs::rename(h.webroot / "sub", h.root / "sub-away");
  fs::create_directory_symlink(outside, h.webroot / "sub");
  WebServerHarness::write(outside / "inner.txt", "not for the page");
  EXPECT_EQ(h.get("/page.txt").status, 404);
  EXPECT_EQ(h.get("/sub/inner.txt").status, 404);
  // And back: served again.
  fs::remove(h.webroot / "page.txt");
  WebServerHarness::write(h.webroot / "page.txt", "page again");
  EXPECT_EQ(h.get("/page.txt").body, "page again");
}

TEST_F(RootsTest, ARootReplacedAfterTheFirstRequestIsServedAnew) {
  EXPECT_EQ(h.get("/page.txt").body, "page");
  fs::remove_all(h.webroot);
  WebServerHarness::write(h.webroot / "page.txt", "new page");
  EXPECT_EQ(h.get("/page.txt").body, "new page");
}

}  // namespace
}  // namespace kestrom

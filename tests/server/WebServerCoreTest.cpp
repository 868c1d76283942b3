// The server core over real loopback sockets: status lines, the CORS header, the Host and Origin
// checks, the bounds on heads, bodies and quiet clients, early closes and restarts.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fcntl.h>
#include <unistd.h>

#include <future>
#include <thread>
#include <tuple>

#include "KestromKit/server/HttpDate.h"
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
using test::rawHttp;
using test::RawHttpConnection;
using test::WebServerHarness;

/// A verbose server that answers with whatever the test's function gives, instead of the real routes.
struct ScriptedHarness : WebServerHarness {
  explicit ScriptedHarness(WebServerRoute handler, WebServerLimits limits = {})
      : WebServerHarness(limits, {}, [handler](WebServerServices services, WebServerLimits l) {
          return std::make_unique<WebServer>(std::move(services), true, l, handler);
        }) {
    startAndWait();
  }
};

WebServerResponse echo(const WebServerRequest& request) {
  std::string summary = std::string(rawValue(request.method)) + " " + request.path + " " +
                        std::to_string(request.body.size()) + (request.body.file() ? " file" : " memory");
  return WebServerResponse::ok({{"X-Summary", summary}}, std::string(request.body.view()));
}

TEST(WebServerCoreTest, WritesFixedStatusLinesWithTheCorsHeaderFirst) {
  std::string pattern = (fs::temp_directory_path() / "webserver-file-XXXXXX").string();
  int fd = ::mkstemp(pattern.data());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "0123456789", 10), 10);
  ::close(fd);
  auto file = WebServerOpenFile::open(pattern);
  ::unlink(pattern.c_str());
  ASSERT_TRUE(file);

  ScriptedHarness h([&](const WebServerRequest& r) {
    if (r.path == "/ok") return WebServerResponse::ok({{"Content-Type", "text/plain"}, {"X-B", "2"}}, "hello");
    if (r.path == "/empty") return WebServerResponse::ok();
    if (r.path == "/partial") return WebServerResponse::partial({{"Content-Range", "bytes 2-4/10"}}, WebServerFileRegion{file, 2, 3});
    if (r.path == "/redirect") return WebServerResponse::redirect("http://localhost:1/x");
    if (r.path == "/bad") return WebServerResponse::badRequest();
    if (r.path == "/error") return WebServerResponse::serverError();
    if (r.path == "/unsatisfiable") return WebServerResponse::rangeNotSatisfiable({{"Content-Range", "bytes */10"}});
    if (r.path == "/inject") return WebServerResponse::ok({{"X-A", "v\r\nSet-Cookie: x=1"}});
    return WebServerResponse::notFound();
  });

  struct Case {
    const char* target;
    const char* statusLine;
    std::vector<std::pair<std::string, std::string>> headers;  // after the CORS line
    std::string body;
  };
  const Case cases[] = {
      {"/ok", "HTTP/1.1 200 OK", {{"Content-Type", "text/plain"}, {"X-B", "2"}}, "hello"},
      {"/empty", "HTTP/1.1 200 OK", {}, ""},
      {"/partial", "HTTP/1.1 206 Partial content", {{"Content-Range", "bytes 2-4/10"}}, "234"},
      {"/redirect", "HTTP/1.1 307 Temporary Redirect", {{"Location", "http://localhost:1/x"}}, ""},
      {"/missing", "HTTP/1.1 404 NOT FOUND", {}, ""},
      {"/bad", "HTTP/1.1 400 BAD REQUEST", {}, ""},
      {"/error", "HTTP/1.1 500 INTERNAL SERVER ERROR", {}, ""},
      {"/unsatisfiable", "HTTP/1.1 416 RANGE NOT SATISFIABLE", {{"Content-Range", "bytes */10"}}, ""},
      {"/inject", "HTTP/1.1 200 OK", {{"X-A", "v  Set-Cookie: x=1"}}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    auto r = h.get(c.target);
    EXPECT_EQ(r.statusLine, c.statusLine);
    ASSERT_GE(r.headers.size(), 2u);
    EXPECT_EQ(r.headers.front(), (std::pair<std::string, std::string>{"Access-Control-Allow-Origin", "*"}));
    EXPECT_EQ(r.headers[1].first, "Date");
    EXPECT_TRUE(test::isHttpDate(r.headers[1].second)) << r.headers[1].second;
    // We close after every answer and say so last, after the length when the handler gave none.
    auto expected = c.headers;
    bool hasLength = std::any_of(expected.begin(), expected.end(), [](auto& h) { return h.first == "Content-Length"; });
    if (!hasLength) expected.emplace_back("Content-Length", std::to_string(c.body.size()));
    expected.emplace_back("Connection", "close");
    EXPECT_EQ(std::vector(r.headers.begin() + 2, r.headers.end()), expected);
    EXPECT_EQ(r.body, c.body);
    EXPECT_FALSE(r.timedOut);
  }
  // Only the head, byte for byte, for an empty answer.
  EXPECT_EQ(test::withoutDate(h.get("/empty").raw),
            "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  // Every answer's Date, in the one form HTTP asks for (IMF-fixdate, GMT, English names).
  EXPECT_EQ(formatHttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(WebServerCoreTest, MalformedRequestsGet400BeforeAnyOtherCheck) {
  ScriptedHarness h(echo);
  const std::string cases[] = {
      "GET\r\n\r\n",
      "abc",
      "GET /\r\n\r\n",
      "GET /a b HTTP/1.1\r\n\r\n",
      "GET /%zz HTTP/1.1\r\n\r\n",
      "GET/x HTTP/1.1\r\nHost: evil.example\r\n\r\n",  // malformed and foreign: 400 wins
      "GET /x HTTP/1.1\r\nX-A: 1\r\nno colon\r\n\r\n",
  };
  for (const auto& bytes : cases) {
    SCOPED_TRACE(bytes);
    RawHttpConnection c(h.port);
    c.send(bytes);
    c.shutdownWrite();  // a head without its blank line is complete when the client stops sending
    auto r = c.readResponse(3s);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 400 BAD REQUEST");
    ASSERT_FALSE(r.headers.empty());
    EXPECT_EQ(r.headers.front().first, "Access-Control-Allow-Origin");
  }
}

TEST(WebServerCoreTest, RefusesForeignHostsAndOriginsWith403) {
  ScriptedHarness h(echo);
  const std::string p = std::to_string(h.port);
  const std::string other = std::to_string(h.port == 65535 ? 1 : h.port + 1);
  struct Case {
    std::vector<std::pair<std::string, std::string>> headers;
    int status;
  };
  const Case cases[] = {
      {{}, 200},
      {{{"Host", "localhost:" + p}}, 200},
      {{{"Host", "127.0.0.1:" + p}}, 200},
      {{{"Host", "[::1]:" + p}}, 200},
      {{{"Host", "LOCALHOST:" + p}}, 200},
      {{{"Host", "localhost:" + p}, {"Origin", "http://localhost:" + p}}, 200},
      {{{"Origin", "http://127.0.0.1:" + p}}, 200},
      {{{"Host", "evil.example"}}, 403},
      {{{"Host", "evil.example:" + p}}, 403},
      {{{"Host", "localhost:" + other}}, 403},
      {{{"Host", "localhost"}}, 403},
      {{{"host", "evil.example:" + p}}, 403},
      {{{"Host", "localhost:" + p}, {"Origin", "http://evil.example"}}, 403},
      {{{"Origin", "null"}}, 403},
      {{{"Origin", "http://localhost:" + other}}, 403},
      {{{"Origin", "https://localhost:" + p}}, 403},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.headers));
    auto r = h.get("/x", c.headers);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 403) {
      EXPECT_EQ(r.statusLine, "HTTP/1.1 403 FORBIDDEN");
      EXPECT_EQ(r.headers.front().first, "Access-Control-Allow-Origin");
    }
  }
}

TEST(WebServerCoreTest, AnAbsoluteFormTargetIsServedAsItsPathWhenItNamesUs) {
  ScriptedHarness h(echo);
  const std::string p = std::to_string(h.port);
  const std::string other = std::to_string(h.port == 65535 ? 1 : h.port + 1);
  const std::tuple<std::string, int, const char*> cases[] = {
      {"GET http://127.0.0.1:" + p + "/a?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\n\r\n", 200, "GET /a 0 memory"},
      {"GET HTTP://LOCALHOST:" + p + " HTTP/1.1\r\n\r\n", 200, "GET /index.html 0 memory"},
      {"GET http://evil.example:" + p + "/a HTTP/1.1\r\n\r\n", 403, nullptr},
      {"GET http://127.0.0.1:" + other + "/a HTTP/1.1\r\n\r\n", 403, nullptr},
      {"GET http://me@127.0.0.1:" + p + "/a HTTP/1.1\r\n\r\n", 403, nullptr},
      {"GET http://127.0.0.1:" + p + "/a HTTP/1.1\r\nHost: evil.example\r\n\r\n", 403, nullptr},
  };
  for (const auto& [bytes, status, summary] : cases) {
    SCOPED_TRACE(bytes);
    auto r = rawHttp(h.port, bytes);
    EXPECT_EQ(r.status, status);
    if (summary) {
      EXPECT_EQ(r.header("X-Summary"), summary);
    }
    EXPECT_TRUE(test::isHttpDate(r.header("Date").value_or("")));
  }
}

TEST(WebServerCoreTest, HeadGetsTheHeadOfGetWithoutItsBody) {
  WebServerHarness h;
  WebServerHarness::write(h.webroot / "index.html", "<p>page</p>");           // answered by the run loop
  WebServerHarness::write(h.content / "movie.mp4", std::string(100000, 'm'));  // by a worker
  h.startAndWait();
  for (const char* target : {"/index.html", "/content/movie.mp4", "/missing"}) {
    SCOPED_TRACE(target);
    const std::vector<std::pair<std::string, std::string>> range = {{"Range", "bytes=10-"}};
    auto get = rawHttp(h.port, makeHttpRequest("GET", target, range));
    auto head = rawHttp(h.port, makeHttpRequest("HEAD", target, range));
    std::string expected = test::withoutDate(get.raw);
    expected.resize(expected.size() - get.body.size());
    EXPECT_EQ(test::withoutDate(head.raw), expected);
    EXPECT_TRUE(test::isHttpDate(head.header("Date").value_or("")));
  }
}

TEST(WebServerCoreTest, ForeignRequestsNeverReachTheRoute) {
  std::atomic<int> routed{0};
  ScriptedHarness h([&](const WebServerRequest& r) {
    ++routed;
    return echo(r);
  });
  auto r = rawHttp(h.port, makeHttpRequest("POST", "/v1/sentryEnabled", {{"Origin", "http://evil.example"}},
                                           "{\"enabled\":true}"));
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(routed.load(), 0);
}

TEST(WebServerCoreTest, HeadOverTheLimitIsRefusedWithoutReadingForever) {
  ScriptedHarness h(echo);
  RawHttpConnection c(h.port);
  ASSERT_TRUE(c.connected());
  // A client that never ends its head: the server must stop reading at the limit and answer.
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
    c.send("GET /x HTTP/1.1\r\n");
    for (int i = 0; i < 4096 && !stop; ++i) {
      if (!c.send(line)) break;
    }
  });
  auto start = std::chrono::steady_clock::now();
  auto r = c.readResponse(5s);
  stop = true;
  c.shutdownWrite();
  writer.join();
  EXPECT_EQ(r.statusLine, "HTTP/1.1 431 REQUEST HEADER FIELDS TOO LARGE");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  // Just under the limit is fine.
  std::string head = "GET /x HTTP/1.1\r\nX-Filler: " + std::string(60 * 1024, 'b') + "\r\n\r\n";
  EXPECT_EQ(rawHttp(h.port, head).status, 200);
}

TEST(WebServerCoreTest, BodyOverTheLimitIsRefusedBeforeItIsRead) {
  WebServerLimits limits;
  limits.maxBodyBytes = 1 << 20;
  ScriptedHarness h(echo, limits);
  RawHttpConnection c(h.port);
  c.send("POST /x HTTP/1.1\r\nContent-Length: 2097152\r\n\r\nsome of it");
  auto r = c.readResponse(5s);
  EXPECT_EQ(r.statusLine, "HTTP/1.1 413 PAYLOAD TOO LARGE");
  EXPECT_EQ(r.headers.front().first, "Access-Control-Allow-Origin");

  // The default limit (512 MiB) holds too: nothing is allocated for a declared 600 MiB.
  ScriptedHarness defaults(echo);
  EXPECT_EQ(rawHttp(defaults.port, "POST /x HTTP/1.1\r\nContent-Length: 629145600\r\n\r\n").status, 413);
}

TEST(WebServerCoreTest, CompletesTheBodyToContentLength) {
  ScriptedHarness h(echo);
  {
    RawHttpConnection c(h.port);
    c.send("POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd");
    std::this_thread::sleep_for(50ms);  // let the first bytes arrive alone
    c.send("efghij");
    auto r = c.readResponse();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "abcdefghij");
    EXPECT_EQ(r.header("X-Summary"), "POST /x 10 memory");
  }
  {
    RawHttpConnection c(h.port);  // the peer closes instead of sending the rest
    c.send("POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd");
    c.shutdownWrite();
    EXPECT_EQ(c.readResponse().statusLine, "HTTP/1.1 400 BAD REQUEST");
  }
  {
    RawHttpConnection c(h.port);  // a lower-case name is read for completion too
    c.send("POST /x HTTP/1.1\r\ncontent-length: 10\r\n\r\nabcd");
    std::this_thread::sleep_for(50ms);
    c.send("efghij");
    EXPECT_EQ(c.readResponse().body, "abcdefghij");
  }
  // A longer body stays whole.
  EXPECT_EQ(rawHttp(h.port, "POST /x HTTP/1.1\r\nContent-Length: 2\r\n\r\nabcd").body, "abcd");
}

TEST(WebServerCoreTest, LargeBodiesGoToATemporaryFileThatIsRemovedAfterwards) {
  WebServerLimits limits;
  limits.memoryBodyBytes = 1024;
  ScriptedHarness h(echo, limits);
  std::string body(300 * 1024, 'z');
  body[12345] = 'y';
  auto r = rawHttp(h.port, makeHttpRequest("POST", "/upload", {}, body));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("X-Summary"), "POST /upload 307200 file");
  EXPECT_EQ(r.body, body);
  // The worker may still be closing; the body file goes with the request.
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (!fs::is_empty(h.tmp) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(fs::is_empty(h.tmp));
}

TEST(WebServerCoreTest, QuietClientsTimeOutWithoutBlockingOthers) {
  WebServerLimits limits;
  limits.readTimeout = 300ms;
  limits.maxConnections = 4;
  ScriptedHarness h(echo, limits);
  std::vector<std::unique_ptr<RawHttpConnection>> idle;
  for (int i = 0; i < 12; ++i) idle.push_back(std::make_unique<RawHttpConnection>(h.port));
  idle.push_back(std::make_unique<RawHttpConnection>(h.port));
  idle.back()->send("GET /half");  // a head that never ends

  auto start = std::chrono::steady_clock::now();
  auto r = h.get("/still-answering");
  EXPECT_EQ(r.status, 200);
  // Twelve quiet clients through four slots at 300 ms each: about a second, far from "forever".
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  auto quiet = idle.front()->readResponse(3s);
  EXPECT_EQ(quiet.statusLine, "HTTP/1.1 408 REQUEST TIMEOUT");
  EXPECT_EQ(quiet.headers.front().first, "Access-Control-Allow-Origin");
  // A head cut off mid-line is parsed as it stands when time runs out.
  EXPECT_FALSE(idle.back()->readResponse(3s).timedOut);
}

TEST(WebServerCoreTest, ClientsThatCloseEarlyRaiseNoSigpipe) {
  // A sparse 64 MiB file: far more than the socket buffers hold, so the server is mid-write.
  auto file = test::openSparseFile(64 << 20);
  ASSERT_TRUE(file);
  std::string bytes(16 << 20, 'x');

  ScriptedHarness h([&](const WebServerRequest& r) {
    if (r.path == "/file") return WebServerResponse::ok({}, WebServerFileRegion::whole(file));
    if (r.path == "/bytes") return WebServerResponse::ok({}, bytes);
    return WebServerResponse::ok();
  });
  log::ScopedRecording recording;
  for (const char* target : {"/file", "/bytes", "/file", "/bytes"}) {
    SCOPED_TRACE(target);
    RawHttpConnection c(h.port);
    c.send(makeHttpRequest("GET", target));
    EXPECT_FALSE(c.readSome(1000, 5s).empty());
    c.abort();  // a reset while the server still writes
  }
  // Still alive (a SIGPIPE would have ended this process) and still serving.
  EXPECT_EQ(h.get("/ok").status, 200);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!recording.sink().contains("WebServer", "Unable to send status: 200 OK body: ") &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(recording.sink().contains("WebServer", "Unable to send status: 200 OK body: "));
}

TEST(WebServerCoreTest, AnUploadBeingAnsweredWhenTheServerStopsIsStillAnswered) {
  std::promise<void> routed;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ScriptedHarness h([&](const WebServerRequest&) {
    routed.set_value();
    released.wait();  // a save still writing when the stop comes
    return WebServerResponse::ok({}, "saved");
  });
  auto answer = std::async(std::launch::async, [&] {
    return rawHttp(h.port, makeHttpRequest("POST", "/projects/a", {{"Content-Type", "application/zip"}}, "bytes"), 20s);
  });
  routed.get_future().wait();
  auto stopped = std::async(std::launch::async, [&] { h.server->stop(); });
  // The stop has closed the socket and ended its run loop before it waits for the workers.
  while (h.server->port()) std::this_thread::sleep_for(1ms);
  release.set_value();
  stopped.get();
  const auto response = answer.get();
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "saved");
}

TEST(WebServerCoreTest, StartsOnAFreeLoopbackPortAndRestartsOnItWhenTheSocketFails) {
  log::ScopedRecording recording;
  ScriptedHarness h(echo);
  const std::string p = std::to_string(h.port);
  EXPECT_TRUE(recording.sink().contains("WebServer", "WebServer started on port: " + p + ", requested port was: 0"));
  EXPECT_EQ(h.server->port(), h.port);

  // As a failing system would: the socket stays open but accepts no more.
  const int listening = test::listeningSocketOn(h.port);
  ASSERT_GE(listening, 0);
  ASSERT_EQ(::shutdown(listening, SHUT_RDWR), 0);
  auto again = h.delegate->waitForStart(2);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, h.port);
  EXPECT_TRUE(recording.sink().contains("WebServer", "WebServer stopped"));
  EXPECT_TRUE(recording.sink().contains("WebServer", "WebServer started on port: " + p + ", requested port was: " + p));
  EXPECT_EQ(h.get("/after-restart").status, 200);
}

TEST(WebServerCoreTest, ListensOnTheLoopbackAddressOnly) {
  ScriptedHarness h(echo);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ASSERT_EQ(::getsockname(test::listeningSocketOn(h.port), reinterpret_cast<sockaddr*>(&bound), &length), 0);
  EXPECT_EQ(ntohl(bound.sin_addr.s_addr), 0x7F000001u);
  // A socket bound to all addresses would take 127.0.0.2 as well; ours refuses it.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(h.port);
  addr.sin_addr.s_addr = htonl(0x7F000002);
  EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
}

TEST(WebServerCoreTest, FixedPortInUseFallsBackToAFreePort) {
  tcp::TCPServer occupant("127.0.0.1", 0);
  ASSERT_FALSE(occupant.listen().isFailure());
  log::ScopedRecording recording;
  WebServerHarness h;
  h.server->setDelegate(h.delegate);
  h.server->start(occupant.port());
  auto port = h.delegate->waitForStart(1);
  ASSERT_TRUE(port);
  EXPECT_NE(*port, occupant.port());
  EXPECT_TRUE(recording.sink().contains(
      "WebServer", "WebServer Failed attempt to start web server on port " + std::to_string(occupant.port()) + ": "));
}

}  // namespace
}  // namespace kestrom

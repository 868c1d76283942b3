// Who may open a connection: the loopback Host with our port, and only the host's own page origin.

#include <gtest/gtest.h>

#include "KestromKit/server/LoopbackGuard.h"
#include "KestromKit/server/WSServer.h"
#include "tests/support/RawHttp.h"
#include "tests/support/WSTestClient.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using Kind = WSEvent::Kind;

std::string statusLine(const std::string& response) { return response.substr(0, response.find("\r\n")); }

TEST(LoopbackGuardTest, AcceptsOnlyTheLoopbackWithOurPort) {
  struct Case {
    std::string host;
    bool allowed;
  };
  const Case cases[] = {
      {"localhost:5000", true},   {"LocalHost:5000", true},     {"127.0.0.1:5000", true},
      {"[::1]:5000", true},       {"localhost", false},         {"localhost:5001", false},
      {"localhost:05000x", false}, {"evil.example:5000", false}, {"127.0.0.2:5000", false},
      {"localhost.:5000", false}, {"", false},                  {"localhost:", false},
      {"[::1]", false},           {"127.0.0.1:5000:5000", false}, {"0x7f.1:5000", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(LoopbackGuard::isLoopbackHost(c.host, 5000), c.allowed);
  }
}

TEST(LoopbackGuardTest, OriginMustBeOneOfThePageOrigins) {
  auto origins = LoopbackGuard::pageOrigins(8080);
  EXPECT_EQ(origins, (std::vector<std::string>{"http://localhost:8080", "http://127.0.0.1:8080"}));
  struct Case {
    std::optional<std::string_view> host;
    std::optional<std::string_view> origin;
    std::vector<std::string> allowed;
    bool expected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, {}, true},
      {"localhost:5000", std::nullopt, {}, true},
      {std::nullopt, "http://localhost:8080", origins, true},
      {"127.0.0.1:5000", "http://127.0.0.1:8080", origins, true},
      {"127.0.0.1:5000", "HTTP://LOCALHOST:8080", origins, true},
      {"127.0.0.1:5000", "http://localhost:8080", {}, false},  // origins not known yet
      {"127.0.0.1:5000", "http://localhost:8081", origins, false},
      {"127.0.0.1:5000", "https://localhost:8080", origins, false},
      {"127.0.0.1:5000", "null", origins, false},
      {"127.0.0.1:5000", "http://evil.example", origins, false},
      {"evil.example:5000", "http://localhost:8080", origins, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host.value_or("-")) + " " + std::string(c.origin.value_or("-")));
    EXPECT_EQ(LoopbackGuard::allows(c.host, c.origin, 5000, c.allowed), c.expected);
  }
}

TEST(WSServerHandshakeTest, RefusesForeignHostAndOriginWith403) {
  auto running = test::startServer();
  ASSERT_NE(running.port, 0u);
  const unsigned httpPort = 8123;
  const std::string p = std::to_string(running.port);
  struct Case {
    std::optional<std::string> host;
    std::optional<std::string> origin;
    bool originsKnown;
    std::string status;
  };
  const Case cases[] = {
      {"evil.example:" + p, std::nullopt, true, "HTTP/1.1 403 Forbidden"},
      {"localhost:" + std::to_string(running.port + 1), std::nullopt, true, "HTTP/1.1 403 Forbidden"},
      {"localhost:" + p, "http://evil.example", true, "HTTP/1.1 403 Forbidden"},
      {"localhost:" + p, "null", true, "HTTP/1.1 403 Forbidden"},
      {"localhost:" + p, "http://localhost:8123", false, "HTTP/1.1 403 Forbidden"},
      {"localhost:" + p, "http://localhost:8123", true, "HTTP/1.1 101 Switching Protocols"},
      {"127.0.0.1:" + p, "http://127.0.0.1:8123", true, "HTTP/1.1 101 Switching Protocols"},
      {"[::1]:" + p, std::nullopt, false, "HTTP/1.1 101 Switching Protocols"},
      {"LOCALHOST:" + p, std::nullopt, true, "HTTP/1.1 101 Switching Protocols"},
      // The guard lets a request without Host through, but the WebSocket handshake itself
      // requires one: that is a malformed upgrade, not a foreign one.
      {std::nullopt, std::nullopt, false, "HTTP/1.1 400 Bad Request"},
  };
  std::size_t accepted = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host.value_or("(no host)") + " / " + c.origin.value_or("(no origin)"));
    running.server->setAllowedOrigins(c.originsKnown ? LoopbackGuard::pageOrigins(httpPort)
                                                     : std::vector<std::string>{});
    std::string response = test::rawExchange(running.port, test::upgradeRequest(c.host, c.origin));
    EXPECT_EQ(statusLine(response), c.status);
    EXPECT_TRUE(test::isHttpDate(test::parseRawHttpResponse(response).header("Date").value_or(""))) << response;
    if (c.status.find(" 101 ") != std::string::npos) {
      ++accepted;
      EXPECT_TRUE(running.delegate->waitForCount(Kind::onOpen, accepted));
    }
  }
  EXPECT_EQ(running.delegate->count(Kind::onOpen), accepted) << "a refused upgrade never opens";
}

TEST(WSServerHandshakeTest, AnswersMalformedAndPlainRequestsWith400) {
  auto running = test::startServer();
  const std::string requests[] = {
      "GARBAGE\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: localhost:" + std::to_string(running.port) + "\r\n\r\n",
  };
  for (const auto& request : requests) {
    SCOPED_TRACE(request);
    const std::string response = test::rawExchange(running.port, request);
    EXPECT_EQ(statusLine(response), "HTTP/1.1 400 Bad Request");
    EXPECT_TRUE(test::isHttpDate(test::parseRawHttpResponse(response).header("Date").value_or(""))) << response;
  }
  EXPECT_EQ(running.delegate->count(Kind::onOpen), 0u);
}

TEST(WSServerHandshakeTest, AHeadRequestGetsTheRefusalsHeadWithoutItsBody) {
  auto running = test::startServer();
  const std::string host = "Host: localhost:" + std::to_string(running.port) + "\r\n";
  const auto get = test::parseRawHttpResponse(test::rawExchange(running.port, "GET / HTTP/1.1\r\n" + host + "\r\n"));
  const auto head = test::parseRawHttpResponse(test::rawExchange(running.port, "HEAD / HTTP/1.1\r\n" + host + "\r\n"));
  EXPECT_EQ(head.statusLine, get.statusLine);
  EXPECT_EQ(head.header("Content-Length"), get.header("Content-Length"));
  EXPECT_FALSE(get.body.empty());
  EXPECT_EQ(head.body, "") << "HEAD gets no body";
}

TEST(WSServerHandshakeTest, ListensOnTheLoopbackOnly) {
  auto running = test::startServer();
  wsnet::net::io_context io;
  wsnet::tcp::socket socket(io);
  wsnet::error_code ec;
  // Any address of this machine other than 127.0.0.1 must not reach the server; 127.0.0.2 is on
  // the loopback interface but is not the address the server bound.
  socket.connect(wsnet::tcp::endpoint(wsnet::net::ip::make_address("127.0.0.2"), running.port), ec);
  EXPECT_TRUE(ec) << "the server must bind 127.0.0.1, not every address";
}

}  // namespace
}  // namespace kestrom

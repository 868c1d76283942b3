// Slow clients against the HTTP server: a body that drips is cut off at its deadline, and hundreds
// of dripping connections leave the page's requests answered at once.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "KestromKit/server/WebServer.h"
#include "platform/tcp/DescriptorLimit.h"
#include "tests/server/WebServerHarness.h"
#include "tests/support/RawHttp.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using test::makeHttpRequest;
using test::RawHttpConnection;
using test::WebServerHarness;
using Clock = std::chrono::steady_clock;

TEST(SlowClientsTest, ABodyThatDripsIsCutOffAtItsDeadline) {
  WebServerLimits limits;
  limits.readTimeout = 400ms;
  limits.minBodyBytesPerSecond = 1000;  // 400 bytes: due within 0.4 s + 0.4 s
  WebServerHarness h(limits);
  h.startAndWait();
  RawHttpConnection c(h.port);
  ASSERT_TRUE(c.send("POST /v1/sentryEnabled HTTP/1.1\r\nContent-Length: 400\r\n\r\n"));
  // A byte every 50 ms never lets one read time out, but the whole would take 20 s.
  const auto start = Clock::now();
  bool closed = false;
  for (int i = 0; i < 200 && !closed; ++i) {
    closed = !c.send("x");
    std::this_thread::sleep_for(50ms);
    if (Clock::now() - start > 1500ms) break;
  }
  auto answer = c.readResponse(5s);
  EXPECT_EQ(answer.statusLine, "HTTP/1.1 408 REQUEST TIMEOUT");
  EXPECT_LT(Clock::now() - start, 8s);
}

TEST(SlowClientsTest, ARequestWhoseBodyIsHereGoesAheadOfOneStillWaitingForIts) {
  WebServerLimits limits;
  limits.maxConnections = 1;  // one worker: who it takes next decides who waits
  limits.readTimeout = 30s;
  limits.minBodyBytesPerSecond = 1;
  WebServerHarness h(limits);
  WebServerHarness::write(h.webroot / "index.html", "<html>");
  h.startAndWait();
  const std::string head = "POST /v1/sentryEnabled HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
  RawHttpConnection first(h.port);
  ASSERT_TRUE(first.send(head + "tr"));
  std::this_thread::sleep_for(300ms);  // the worker now waits for the rest of its body
  RawHttpConnection second(h.port);
  ASSERT_TRUE(second.send(head + "tr"));
  std::this_thread::sleep_for(300ms);
  // Complete, and for a route a worker answers (a static file the run loop answers itself).
  RawHttpConnection page(h.port);
  ASSERT_TRUE(page.send(makeHttpRequest("POST", "/v1/sentryEnabled", {{"Host", "127.0.0.1:" + std::to_string(h.port)}},
                                        R"({"enabled":true})")));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(first.send("ue"));
  EXPECT_FALSE(first.readResponse(10s).timedOut);
  // Taken before the second, whose body may not come for 30 s.
  auto answer = page.readResponse(10s);
  EXPECT_FALSE(answer.timedOut);
  EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK");
  ASSERT_TRUE(second.send("ue"));
  EXPECT_FALSE(second.readResponse(10s).timedOut);
}

TEST(SlowClientsTest, FiveHundredDrippersLeaveThePageAnsweredAtOnce) {
  // Both ends of every connection live in this process.
  ASSERT_GE(tcp::raiseDescriptorLimit(), 1200u) << "this test needs 1,200 descriptors";
  WebServerHarness h;
  WebServerHarness::write(h.webroot / "index.html", "<html>");
  h.startAndWait();

  constexpr int kDrippers = 500;
  std::vector<std::unique_ptr<RawHttpConnection>> drippers;
  for (int i = 0; i < kDrippers; ++i) {
    drippers.push_back(std::make_unique<RawHttpConnection>(h.port));
    ASSERT_TRUE(drippers.back()->connected());
    drippers.back()->send("POST /v1/sentryEnabled HTTP/1.1\r\nContent-Length: 100000\r\n\r\n{");
  }
  std::atomic<bool> dripping{true};
  std::thread drip([&] {
    while (dripping) {
      for (auto& d : drippers) d->send(" ");
      std::this_thread::sleep_for(100ms);
    }
  });

  std::vector<double> ms;
  for (int i = 0; i < 40; ++i) {
    const auto start = Clock::now();
    auto answer = h.get("/index.html");
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    EXPECT_EQ(answer.status, 200);
    std::this_thread::sleep_for(20ms);
  }
  dripping = false;
  drip.join();
  std::sort(ms.begin(), ms.end());
  std::printf("probe while %d clients drip: median %.2f ms, max %.2f ms\n", kDrippers, ms[ms.size() / 2], ms.back());
  // The goal is well under 100 ms; the bound leaves room for a loaded shared machine.
  EXPECT_LT(ms[ms.size() / 2], 1000.0);
}

}  // namespace
}  // namespace kestrom

// Another local user holding thousands of idle and dripping connections to both of the host's
// ports, without the secret, under a descriptor limit of 1024: the page is still answered at once.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "tests/support/ConnectionFlood.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/RawHttp.h"
#include "tests/support/WSTestClient.h"

namespace kestrom::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

TEST(StarvationTest, TheFloodOfAnotherUserLeavesThePageAnswered) {
  TemporaryHome home;
  HostOptions options;
  options.descriptorLimit = std::make_pair(1024, 1024);
  HostProcess host(home.path, options);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  ASSERT_TRUE(host.waitUntilPageShown()) << host.errorOutput();
  const auto httpPort = static_cast<std::uint16_t>(host.httpPort());

  ConnectionFlood flood({.ports = {host.httpPort(), host.wsPort()}, .perPort = 2000, .processes = 8});
  ASSERT_TRUE(flood.waitForOpened(4000, 20s)) << flood.opened() << " connections opened";
  std::this_thread::sleep_for(2500ms);  // past the head deadline: the held ones are being renewed

  std::vector<double> pageMs, upgradeMs;
  int answered = 0, upgraded = 0;
  for (int i = 0; i < 20; ++i) {
    auto start = Clock::now();
    auto answer = rawHttp(httpPort, makeHttpRequest("GET", "/index.html", {{"Cookie", host.cookie()}}), 20s);
    pageMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    answered += answer.status == 200 ? 1 : 0;
    if (answer.status != 200) ADD_FAILURE() << "probe " << i << ": " << answer.statusLine << (answer.timedOut ? " (timed out)" : "");
    if (i % 4 == 0) {
      start = Clock::now();
      WSTestClient page(20s);
      const bool connected = page.connect(host.wsPort(), {{"Cookie", host.cookie()}});
      upgraded += connected ? 1 : 0;
      if (!connected) ADD_FAILURE() << "upgrade probe " << i << " failed";
      upgradeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      page.close();
    }
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(answered, 20);
  EXPECT_EQ(upgraded, 5);
  EXPECT_GT(flood.renewed(), 0) << "the flood was held and let go, not ignored";
  // Generous: the figure itself (goal: under 100 ms) is measured by bench/starvation_probe.
  EXPECT_LT(median(pageMs), 1000.0);
  EXPECT_LT(median(upgradeMs), 1000.0);
  std::printf("page median %.1f ms, upgrade median %.1f ms, %ld connections open, %ld opened\n", median(pageMs),
              median(upgradeMs), flood.open(), flood.opened());
  // And the host never ran out of descriptors.
  EXPECT_EQ(host.errorOutput().find("Too many open files"), std::string::npos);
}

}  // namespace
}  // namespace kestrom::test

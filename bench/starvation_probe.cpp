// The page's requests while another program holds thousands of idle and dripping connections to
// both of the host's ports without the secret. The headless host runs as a child process under a
// descriptor limit of 1024; 20 page requests ("/index.html" with the session cookie, a fresh
// connection each) are timed first on the quiet host (the reference) and then under the flood,
// and both medians are reported with their ratio. Goal: the median under the flood below 100 ms.
//
//   starvation_probe [connections per port] [probes]     (defaults 2000 and 20)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ConnectionFlood.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/RawHttp.h"
#include "tests/support/WSTestClient.h"

namespace {

using namespace kestrom::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Probes {
  std::vector<double> pageMs, upgradeMs;
  int failed = 0;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

Probes probe(const HostProcess& host, int count) {
  Probes out;
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    auto answer = rawHttp(static_cast<std::uint16_t>(host.httpPort()),
                          makeHttpRequest("GET", "/index.html", {{"Cookie", host.cookie()}}), 30s);
    out.pageMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (answer.status != 200) ++out.failed;
    start = Clock::now();
    WSTestClient page(30s);
    if (!page.connect(host.wsPort(), {{"Cookie", host.cookie()}})) ++out.failed;
    out.upgradeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    page.close();
    std::this_thread::sleep_for(50ms);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const int perPort = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int count = argc > 2 ? std::atoi(argv[2]) : 20;
  TemporaryHome home;
  HostOptions options;
  options.descriptorLimit = std::make_pair(1024, 1024);
  HostProcess host(home.path, options);
  if (!host.running() || !host.waitUntilPageShown()) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.errorOutput().c_str());
    return 1;
  }
  const Probes quiet = probe(host, count);
  ConnectionFlood flood({.ports = {host.httpPort(), host.wsPort()}, .perPort = perPort, .processes = 8});
  flood.waitForOpened(perPort * 2, 30s);
  std::this_thread::sleep_for(2500ms);
  const Probes flooded = probe(host, count);
  std::printf("flood: %d connections per port, %ld open at the end, %ld opened, %ld closed by the host\n", perPort,
              flood.open(), flood.opened(), flood.renewed());
  std::printf("page request   median: quiet %.2f ms, under the flood %.2f ms (x%.1f); failures %d\n",
              median(quiet.pageMs), median(flooded.pageMs), median(flooded.pageMs) / std::max(0.001, median(quiet.pageMs)),
              flooded.failed);
  std::printf("upgrade        median: quiet %.2f ms, under the flood %.2f ms (x%.1f)\n", median(quiet.upgradeMs),
              median(flooded.upgradeMs), median(flooded.upgradeMs) / std::max(0.001, median(quiet.upgradeMs)));
  std::printf("goal: page median under the flood < 100 ms: %s\n", median(flooded.pageMs) < 100 ? "met" : "NOT met");
  return 0;
}

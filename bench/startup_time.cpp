// Start-up of the headless host: from fork/exec to the "host/lifecycle/foreground" notification,
// seen by a page that connects as soon as the host prints its ports. Two series: a fresh home
// folder every run (a first start, which also copies the prepacked content) and one home folder
// reused after a first start (the usual start). The notification is due 0.3 s after the page's
// view is shown, so the figure to watch is how far past 300 ms it lands.
//
//   startup_time [runs]     (default 10 per series)

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/model/Coding.h"
#include "tests/support/WSTestClient.h"
#include "tests/integration/HostProcess.h"

namespace {

using namespace kestrom;
using Clock = std::chrono::steady_clock;

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Run {
  double ports = 0;       // ms from fork to the ports line
  double foreground = 0;  // ms from fork to the notification at the page
};

/// One start on `home`; none when the host did not start or the notification never came.
std::optional<Run> startOnce(const std::filesystem::path& home) {
  test::HostProcess host(home);
  if (!host.running()) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.errorOutput().c_str());
    return std::nullopt;
  }
  Run run;
  run.ports = millis(Clock::now() - host.startedAt());
  test::WSTestClient page;
  if (!page.connect(host.wsPort(), {{"Cookie", host.cookie()}})) return std::nullopt;
  while (auto text = page.readText()) {
    auto frame = parseJson(*text);
    if (frame && frame->is_object() && frame->value("method", "") == "host/lifecycle/foreground") {
      run.foreground = millis(Clock::now() - host.startedAt());
      if (host.stop() != 0) std::fprintf(stderr, "the host did not stop cleanly\n");
      return run;
    }
  }
  std::fprintf(stderr, "no foreground notification:\n%s\n", host.errorOutput().c_str());
  return std::nullopt;
}

void report(const char* name, std::vector<Run> runs) {
  auto column = [&](double Run::*field) {
    std::vector<double> values;
    for (const auto& run : runs) values.push_back(run.*field);
    std::sort(values.begin(), values.end());
    return values;
  };
  auto ports = column(&Run::ports);
  auto foreground = column(&Run::foreground);
  std::printf("%-30s %6zu %12.1f %12.1f %12.1f %12.1f\n", name, runs.size(), ports[ports.size() / 2], ports.back(),
              foreground[foreground.size() / 2], foreground.back());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = argc > 1 ? std::max(1ul, std::strtoul(argv[1], nullptr, 10)) : 10;

  std::vector<Run> fresh;
  for (std::size_t i = 0; i < count; ++i) {
    test::TemporaryHome home;
    auto run = startOnce(home.path);
    if (!run) return 1;
    fresh.push_back(*run);
  }

  std::vector<Run> reused;
  test::TemporaryHome home;
  if (!startOnce(home.path)) return 1;  // the first start, which copies the prepacked content
  for (std::size_t i = 0; i < count; ++i) {
    auto run = startOnce(home.path);
    if (!run) return 1;
    reused.push_back(*run);
  }

  std::printf("ms from fork/exec of kestrom-host; the foreground notification is due 300 ms after start-up\n");
  std::printf("%-30s %6s %12s %12s %12s %12s\n", "series", "runs", "ports med", "ports max", "foregr. med",
              "foregr. max");
  report("fresh home (first start)", fresh);
  report("reused home", reused);
  return 0;
}

// Wake-ups of the idle host: the headless host runs as a child process with a page connected (a
// WebSocket with the session cookie) and nothing happening; the context switches of every one of
// its threads (/proc/PID/task/*/status) are counted over a stretch of time, from 40 s after the
// page connected (once the host's heap trim after start-up has run). The reference is the
// same count over the same time for this process's own idle main thread. Goal: 0 for the host.
//
//   idle_wakeups [seconds]     (default 60)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/integration/HostProcess.h"
#include "tests/support/WSTestClient.h"

namespace {

using namespace kestrom::test;
using namespace std::chrono_literals;

// Voluntary and involuntary context switches, summed over the threads of `pid`.
long contextSwitches(const std::string& pid) {
  long total = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + pid + "/task", ec)) {
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.starts_with("voluntary_ctxt_switches:") || line.starts_with("nonvoluntary_ctxt_switches:"))
        total += std::atol(line.substr(line.find(':') + 1).c_str());
    }
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  TemporaryHome home;
  HostProcess host(home.path);
  if (!host.running() || !host.waitUntilPageShown()) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.errorOutput().c_str());
    return 1;
  }
  WSTestClient page(10s);
  if (!page.connect(host.wsPort(), {{"Cookie", host.cookie()}})) {
    std::fprintf(stderr, "the page could not connect\n");
    return 1;
  }
  // Start-up work and the page's first exchange settle, and the host's one heap trim 35 s after
  // its last work has come and gone.
  std::this_thread::sleep_for(40s);
  const std::string pid = std::to_string(host.pid());
  const long before = contextSwitches(pid);
  const long ownBefore = contextSwitches("self");
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long after = contextSwitches(pid);
  const long ownAfter = contextSwitches("self");
  std::printf("idle host with a page connected: %ld context switches in %d s (reference, this idle process: %ld)\n",
              after - before, seconds, ownAfter - ownBefore);
  std::printf("goal: none: %s\n", after - before == 0 ? "met" : "NOT met");
  page.close();
  return 0;
}

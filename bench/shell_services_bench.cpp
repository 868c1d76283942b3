// Two figures of the shell services on the real main loop (GLib):
//  1. gamepad snapshots subscribed at 60 Hz for 10 s: how many arrive and how far each interval
//     strays from 1/60 s (median, 95th percentile, worst);
//  2. the host's CPU time while a recording runs for 10 s over SDL capture (the "disk" driver
//     reading a 440 Hz sine at real-time pace), with its 0.05 s level reports: CPU seconds per
//     wall second of the whole process.
// Usage: shell_services_bench [seconds]  (default 10)

#include <glib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <vector>

#include "KestromKit/host/AudioService.h"
#include "KestromKit/host/GamepadService.h"
#include "platform/audio/SDLAudioInput.h"
#include "platform/gamepads/FakeGamepads.h"

namespace {

using namespace kestrom;
using Clock = std::chrono::steady_clock;

// Keeps when each snapshot was sent and counts level reports; the page is not needed for either.
class Stopwatch final : public RPCInterface {
 public:
  void send(RPC::Response) override {}
  void send(RPCMessage message) override {
    const auto* notification = message.notification();
    if (!notification) return;
    std::lock_guard lock(mutex);
    if (notification->kind() == RPC::Notification::Case::gamepadSnapshot) snapshots.push_back(Clock::now());
    if (notification->kind() == RPC::Notification::Case::audioLevelUpdate) ++levels;
  }
  std::mutex mutex;
  std::vector<Clock::time_point> snapshots;
  int levels = 0;
};

void runMainLoopFor(double seconds) {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_timeout_add(static_cast<guint>(seconds * 1000), +[](gpointer data) -> gboolean {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_REMOVE;
  }, loop);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void gamepadRate(double seconds) {
  auto page = std::make_shared<Stopwatch>();
  auto gamepads = std::make_shared<gamepads::FakeGamepads>(dispatch::mainQueue());
  gamepads::GamepadState pad;
  pad.info = {1, "Bench Pad", 0x1234, 0x5678};
  gamepads->connect(pad);
  auto service = GamepadService::make(page, gamepads, 60);
  runMainLoopFor(seconds);
  service->reset();

  std::vector<double> jitter;
  const double period = 1000.0 / 60.0;
  for (std::size_t i = 1; i < page->snapshots.size(); ++i) {
    double interval = std::chrono::duration<double, std::milli>(page->snapshots[i] - page->snapshots[i - 1]).count();
    jitter.push_back(std::abs(interval - period));
  }
  std::printf("gamepad 60 Hz for %.0f s: %zu snapshots (expected %.0f); interval jitter median %.3f ms, "
              "p95 %.3f ms, max %.3f ms\n",
              seconds, page->snapshots.size(), seconds * 60, percentile(jitter, 0.5), percentile(jitter, 0.95),
              percentile(jitter, 1.0));
}

void recordingCpu(double seconds) {
  auto folder = std::filesystem::temp_directory_path() / "kestrom-bench-audio";
  std::filesystem::create_directories(folder);
  std::vector<std::int16_t> sine(static_cast<std::size_t>((seconds + 5) * 44100));
  for (std::size_t i = 0; i < sine.size(); ++i)
    sine[i] = static_cast<std::int16_t>(16000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 44100));
  std::ofstream(folder / "sine.raw", std::ios::binary)
      .write(reinterpret_cast<const char*>(sine.data()), static_cast<std::streamsize>(sine.size() * 2));
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILEIN", (folder / "sine.raw").c_str(), 1);

  auto page = std::make_shared<Stopwatch>();
  auto input = std::make_shared<audio::SDLAudioInput>();
  auto service = std::make_shared<AudioService>(page, [input] { return input; }, folder);
  service->checkRecordingPermission("p");
  const double cpuBefore = cpuSeconds();
  const auto wallBefore = Clock::now();
  service->startRecording("r");
  runMainLoopFor(seconds);
  service->stopRecording("s");
  const double cpu = cpuSeconds() - cpuBefore;
  const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
  std::printf("recording for %.1f s: %.3f s of CPU, %.2f %% of one core; %d level reports\n", wall, cpu,
              100.0 * cpu / wall, page->levels);
  service.reset();
  input.reset();
  std::filesystem::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  gamepadRate(seconds);
  recordingCpu(seconds);
  return 0;
}

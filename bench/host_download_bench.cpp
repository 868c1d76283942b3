// One content download through the whole headless host, for comparisons against other clients
// (bench/download_vs_curl.sh): a fresh host, a page that asks it over the WebSocket for
// "/content/downloadresource", and the time from sending that request to its reply. The file then
// moves to OUTPUT (same file system), so the caller can check it. One line on standard output:
//
//   bytes=N seconds=S mib_per_s=R rss_growth_kib=K
//
// The memory figure is the growth of the host's peak resident size during the download over its
// size before it (the peak is reset first where the kernel allows it).
//
//   host_download_bench URL OUTPUT

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "KestromKit/model/Coding.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/WSTestClient.h"

namespace {

using namespace kestrom;

std::uint64_t memoryKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
  }
  return 0;
}

bool resetPeak(pid_t pid) {
  std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

/// The reply to `id`, skipping notifications; none when the connection ended or timed out.
std::optional<Json> replyTo(test::WSTestClient& page, const std::string& id) {
  while (auto text = page.readText()) {
    auto frame = parseJson(*text);
    if (frame && frame->is_object() && frame->contains("id") && (*frame)["id"] == id) return *frame;
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s URL OUTPUT\n", argv[0]);
    return 2;
  }
  ::setenv("no_proxy", "127.0.0.1,localhost", 1);
  test::TemporaryHome home;
  test::HostProcess host(home.path);
  if (!host.running()) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.errorOutput().c_str());
    return 1;
  }
  // The servers answer before start-up's copy of the prepacked content is over, and a download
  // waits behind that copy: the time measured starts once the host shows its page.
  if (!host.waitUntilPageShown()) {
    std::fprintf(stderr, "the host did not show its page:\n%s\n", host.errorOutput().c_str());
    return 1;
  }
  test::WSTestClient page(std::chrono::minutes(5));
  if (!page.connect(host.wsPort(), {{"Cookie", host.cookie()}})) {
    std::fprintf(stderr, "the page could not connect to the host\n");
    return 1;
  }
  auto send = [&](const std::string& id, const std::string& method, Json values) {
    Json frame = {{"id", id}, {"method", method}, {"params", {{"values", std::move(values)}}}, {"jsonrpc", "2.0"}};
    return page.sendText(frame.dump());
  };

  const bool reset = resetPeak(host.pid());
  const auto baseline = reset ? memoryKiB(host.pid(), "VmRSS") : memoryKiB(host.pid(), "VmHWM");
  const auto start = std::chrono::steady_clock::now();
  if (!send("d", "/content/downloadresource", {{"localPath", "file.bin"}, {"remoteUrl", argv[1]}, {"tmpId", "bench"}})) {
    std::fprintf(stderr, "the download request could not be sent\n");
    return 1;
  }
  auto reply = replyTo(page, "d");
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  const auto peak = memoryKiB(host.pid(), "VmHWM");
  if (!reply || !reply->contains("result")) {
    std::fprintf(stderr, "the download failed: %s\n%s\n", reply ? reply->dump().c_str() : "no reply",
                 host.errorOutput().c_str());
    return 1;
  }
  const auto file = home.path / ".cache/org.kestrom.KestromKit/content/bench/file.bin";
  const auto bytes = std::filesystem::file_size(file);
  std::filesystem::rename(file, argv[2]);
  host.stop();
  std::printf("bytes=%ju seconds=%.3f mib_per_s=%.1f rss_growth_kib=%ju%s\n", static_cast<std::uintmax_t>(bytes),
              seconds.count(), static_cast<double>(bytes) / (1 << 20) / seconds.count(),
              static_cast<std::uintmax_t>(peak > baseline ? peak - baseline : 0),
              reset ? "" : " (peak not reset: lifetime peak growth)");
  return 0;
}

// Downloads one URL into a file with the host's downloader and prints what it took, for
// comparisons against other clients (bench/download_vs_curl.sh). One line on standard output:
//
//   bytes=N seconds=S mib_per_s=R rss_growth_kib=K
//
// The time runs from the request to the completion, so it includes flushing the file to disk
// and renaming it into place. The memory figure is the growth of the peak resident size over
// the size before the download (the peak is reset first where the kernel allows it).
//
//   download_bench URL DESTINATION

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

#include "platform/downloader/CurlDownloader.h"

namespace {

std::uint64_t memoryKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
  }
  return 0;
}

bool resetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrom::downloader;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s URL DESTINATION\n", argv[0]);
    return 2;
  }
  auto downloader = makeCurlDownloader();
  const bool reset = resetPeak();
  const auto baseline = reset ? memoryKiB("VmRSS") : memoryKiB("VmHWM");

  std::mutex mutex;
  std::condition_variable done;
  std::optional<DownloadResult> outcome;
  const auto start = std::chrono::steady_clock::now();
  downloader->download(argv[1], argv[2], nullptr, [&](DownloadResult result) {
    std::lock_guard lock(mutex);
    outcome = std::move(result);
    done.notify_one();
  });
  {
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return outcome.has_value(); });
  }
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  const auto peak = memoryKiB("VmHWM");
  if (!outcome->has_value()) {
    std::fprintf(stderr, "%s\n", outcome->error().message.c_str());
    return 1;
  }
  const auto bytes = std::filesystem::file_size(argv[2]);
  std::printf("bytes=%ju seconds=%.3f mib_per_s=%.1f rss_growth_kib=%ju%s\n", static_cast<std::uintmax_t>(bytes),
              seconds.count(), static_cast<double>(bytes) / (1 << 20) / seconds.count(),
              static_cast<std::uintmax_t>(peak > baseline ? peak - baseline : 0),
              reset ? "" : " (peak not reset: lifetime peak growth)");
  return 0;
}

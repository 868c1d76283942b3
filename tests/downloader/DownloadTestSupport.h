#pragma once
// What the downloader tests share: a temporary folder and a completion that a test can wait for.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/downloader/Downloader.h"

namespace kestrom::test {

/// A private folder under $TMPDIR, removed with everything in it at the end.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "downloader-test.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  /// The names in the folder, sorted, hidden ones included.
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) all.push_back(entry.path().filename());
    std::sort(all.begin(), all.end());
    return all;
  }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

/// Collects the completion (and counts the calls) of one download, from any thread.
class Outcome {
 public:
  downloader::CompletionHandler handler() {
    return [this](downloader::DownloadResult result) {
      std::lock_guard lock(mutex_);
      ++calls_;
      result_ = std::move(result);
      done_.notify_all();
    };
  }
  downloader::ProgressHandler progressHandler() {
    return [this](const downloader::DownloadProgress& progress) {
      std::lock_guard lock(mutex_);
      ++progressCalls_;
      lastProgress_ = progress;
      done_.notify_all();
    };
  }
  /// The result, once the completion ran; nothing when `timeout` passed first.
  std::optional<downloader::DownloadResult> wait(std::chrono::seconds timeout = std::chrono::seconds(60)) {
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, timeout, [&] { return calls_ > 0; });
    return result_;
  }
  /// True once some progress arrived (within `timeout`).
  bool waitForProgress(std::chrono::seconds timeout = std::chrono::seconds(60)) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, timeout, [&] { return progressCalls_ > 0 || calls_ > 0; }) && progressCalls_ > 0;
  }
  int calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::optional<downloader::DownloadProgress> lastProgress() const {
    std::lock_guard lock(mutex_);
    return lastProgress_;
  }

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable done_;
  int calls_ = 0;
  int progressCalls_ = 0;
  std::optional<downloader::DownloadResult> result_;
  std::optional<downloader::DownloadProgress> lastProgress_;
};

}  // namespace kestrom::test

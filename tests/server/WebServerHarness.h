#pragma once
// A running local HTTP server on a private folder tree (web root, content, prepacked content, the
// kit's temporary folder), with in-memory user defaults, for the loopback tests of the server.

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/FolderContent.h"
#include "KestromKit/server/ContentManifestSource.h"
#include "KestromKit/server/WebServer.h"
#include "platform/defaults/FakeUserDefaults.h"
#include "tests/support/RawHttp.h"

namespace kestrom::test {

/// An open sparse file of `size` bytes whose name is already gone: far more than the socket
/// buffers hold, without taking the disk. Null when it could not be made.
inline std::shared_ptr<const WebServerOpenFile> openSparseFile(off_t size) {
  std::string pattern = (std::filesystem::temp_directory_path() / "webserver-sparse-XXXXXX").string();
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return nullptr;
  const bool sized = ::ftruncate(fd, size) == 0;
  ::close(fd);
  auto file = sized ? WebServerOpenFile::open(pattern) : nullptr;
  ::unlink(pattern.c_str());
  return file;
}

/// Records every port the server reports; lets a test wait for the n-th start.
class RecordingWebServerDelegate final : public WebServerDelegate {
 public:
  void webServerDidStart(std::int32_t port) override {
    std::lock_guard lock(mutex_);
    ports_.push_back(port);
    changed_.notify_all();
  }
  std::optional<std::int32_t> waitForStart(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return ports_.size() >= count; })) return std::nullopt;
    return ports_[count - 1];
  }
  std::vector<std::int32_t> ports() const {
    std::lock_guard lock(mutex_);
    return ports_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::int32_t> ports_;
};

class WebServerHarness {
 public:
  static constexpr const char* kDebugRedirectURL = "http://127.0.0.1:1/?port=2";
  using Customize = std::function<void(WebServerServices&)>;
  using Factory = std::function<std::unique_ptr<WebServer>(WebServerServices, WebServerLimits)>;

  explicit WebServerHarness(WebServerLimits limits = {}, const Customize& customize = {}, const Factory& factory = {}) {
    std::string pattern = (std::filesystem::temp_directory_path() / "webserver-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    root = pattern;
    webroot = root / "web";
    content = root / "content";
    prepacked = root / "prepacked";
    tmp = root / "tmp";
    for (const auto& folder : {webroot, content, prepacked, tmp}) std::filesystem::create_directories(folder);
    defaults = std::make_shared<defaults::FakeUserDefaults>();

    WebServerServices services;
    services.webroot = webroot;
    services.prepacked = prepacked;
    services.handedOutFolders = {tmp, content};
    services.content = std::make_shared<FolderContent>(content);
    services.defaultLanguage = [] { return std::string("en-US"); };
    services.fallbackLanguage = "en-US";
    services.debugRedirectURL = [] { return std::string(kDebugRedirectURL); };
    services.userDefaults = defaults;
    services.temporaryFolder = tmp;
    if (customize) customize(services);
    server = factory ? factory(std::move(services), limits)
                     : std::make_unique<WebServer>(std::move(services), false, limits);
  }

  ~WebServerHarness() {
    if (server) server->stop();
    server.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  void startAndWait() {
    server->setDelegate(delegate);
    server->start(0);
    auto started = delegate->waitForStart(1);
    if (!started) throw std::runtime_error("the web server did not start");
    port = static_cast<std::uint16_t>(*started);
  }

  static void write(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  RawHttpResponse get(const std::string& target, const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    return rawHttp(port, makeHttpRequest("GET", target, headers));
  }

  std::filesystem::path root, webroot, content, prepacked, tmp;
  std::shared_ptr<defaults::FakeUserDefaults> defaults;
  std::shared_ptr<RecordingWebServerDelegate> delegate = std::make_shared<RecordingWebServerDelegate>();
  std::unique_ptr<WebServer> server;
  std::uint16_t port = 0;
};

}  // namespace kestrom::test

#pragma once
// Shared pieces of the project tests: the temporary HOME every test runs under (set by this
// executable's main before anything reads the user's folders), project archives built with the
// archive layer, a handler on a fresh index, a recorder of what reaches the page, and a full disk.

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestromKit/storage/ProjectsHandler.h"
#include "platform/defaults/FakeUserDefaults.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/ids/FakeIdGenerator.h"
#include "tests/archive/ArchiveTestSupport.h"

namespace kestrom::test {

using archive::test::readFile;
using archive::test::TempFolder;
using archive::test::unzipTestPasses;
using archive::test::writeFile;

/// The temporary home folder of this test run.
const std::filesystem::path& home();
inline constexpr const char* kExtension = "kpr";

/// The bytes of a project archive: "manifest.json" {"id", "name", "type": "python"}, "icon.svg"
/// unless `withIcon` is false, and "main.py" holding `content`.
std::string projectBytes(const std::string& id, const std::string& name, const std::string& content = "print(1)",
                         bool withIcon = true);
/// The bytes of a project archive: "manifest.json" {"id", "name"} and, for each of `zeros`, an
/// entry of that many zero bytes, deflated (about a thousandfold: hundreds of MiB cost little).
std::string projectWithZeros(const std::string& id, const std::vector<std::pair<std::string, std::uint64_t>>& zeros);
/// Writes `projectBytes` to `path`.
void writeProject(const std::filesystem::path& path, const std::string& id, const std::string& name,
                  const std::string& content = "print(1)");
/// The "main.py" of the archive at `path` (empty when it cannot be read).
std::string projectContent(const std::filesystem::path& path);
/// The parsed "manifest.json" of the archive at `path`.
nlohmann::json manifestOf(const std::filesystem::path& path);
/// Every byte of an open file the server would send, read from the start.
std::string fileText(const WebServerOpenFile& file);
/// The bytes an entry answer carries, from memory or from its file.
std::string bodyText(const EntryBody& body);

/// Files of this process cannot grow beyond `bytes` while it lives: writes past it fail with
/// EFBIG, for root too, as on a full disk. SIGXFSZ is ignored meanwhile so the write reports instead.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{bytes, saved_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  sighandler_t previous_ = SIG_DFL;
};

/// Holds the projects' queue busy, as a large save does, until `release` or the end of the scope.
class BusyQueue {
 public:
  explicit BusyQueue(const std::shared_ptr<dispatch::Queue>& queue) {
    std::promise<void> busy;
    auto started = busy.get_future();
    queue->async([busy = std::make_shared<std::promise<void>>(std::move(busy)), released = released_] {
      busy->set_value();
      released.wait();
    });
    started.wait();
  }
  ~BusyQueue() { release(); }
  void release() {
    if (!done_) release_.set_value();
    done_ = true;
  }

 private:
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
  bool done_ = false;
};

/// Every message sent to the page, as parsed JSON frames.
class RecordingInterface final : public RPCInterface {
 public:
  void send(RPC::Response response) override;
  void send(RPCMessage message) override;
  std::vector<nlohmann::json> frames() const;

 private:
  mutable std::mutex mutex_;
  std::vector<nlohmann::json> frames_;
};

/// A projects handler over an index file and a project folder under a fresh folder of the
/// temporary home. Each fixture instance has its own. The test thread plays the main thread, so
/// the page's requests are made where the kit makes them.
struct HandlerFixture {
  HandlerFixture();
  ~HandlerFixture();
  std::shared_ptr<ProjectsHandler> makeHandler();

  std::filesystem::path root;      // under home(), removed afterwards
  std::filesystem::path folder;    // the project folder chosen for the handler
  std::filesystem::path indexFile;
  std::shared_ptr<defaults::FakeUserDefaults> defaults = std::make_shared<defaults::FakeUserDefaults>();
  std::shared_ptr<RecordingInterface> page = std::make_shared<RecordingInterface>();
  std::shared_ptr<ProjectInfoStore> store;
  std::shared_ptr<ProjectsHandler> handler;
  std::shared_ptr<ProjectLibrary> library;  // the handler's
  std::shared_ptr<dispatch::ManualQueue> main = std::make_shared<dispatch::ManualQueue>("main");
  std::unique_ptr<dispatch::ManualQueue::Presence> onMain;

  /// The index file, parsed.
  nlohmann::json indexJSON() const;
  std::filesystem::path fileOf(const std::string& id) const;
};

}  // namespace kestrom::test

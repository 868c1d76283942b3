// The content store and its service on real folders, with the fake downloader standing in for the
// network (the real one runs against a local HTTP server in the integration tests): the order of
// downloads per tmpId, cancels, the move into place, the restore, offline availability and the
// replies the page gets.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/rpc/RPCMessage.h"
#include "KestromKit/storage/ContentHandler.h"
#include "KestromKit/storage/ContentService.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/downloader/FakeDownloader.h"
#include "tests/rpc/LoopBack.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Json = nlohmann::json;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

/// Holds a serial queue until released, so that work queued behind it waits. The task shares its
/// state with the gate, so it may still be on its way out of the wait when the gate is gone.
class Gate {
 public:
  explicit Gate(dispatch::Queue& queue) : state_(std::make_shared<State>()) {
    queue.async([state = state_] {
      std::unique_lock lock(state->mutex);
      state->entered = true;
      state->changed.notify_all();
      state->changed.wait(lock, [&] { return state->open; });
    });
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->entered; });
  }
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;
  ~Gate() { open(); }
  void open() {
    std::lock_guard lock(state_->mutex);
    state_->open = true;
    state_->changed.notify_all();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
  };
  std::shared_ptr<State> state_;
};

/// The frames sent through one interface, as parsed JSON.
class Recorder {
 public:
  std::shared_ptr<LoopBack> interface = std::make_shared<LoopBack>([this](RPCMessage message) {
    auto frame = RPC::messageFrame(message);
    std::lock_guard lock(mutex_);
    frames_.push_back(frame ? Json::parse(*frame) : Json());
  });
  std::vector<Json> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::size_t size() const { return frames().size(); }

 private:
  mutable std::mutex mutex_;
  std::vector<Json> frames_;
};

Json reply(const std::string& id) { return Json{{"id", id}, {"result", Json::object()}, {"jsonrpc", "2.0"}}; }
Json error(const std::string& id, const std::string& text) {
  return Json{{"id", id}, {"error", text}, {"jsonrpc", "2.0"}};
}

class ContentHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "content-test.XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    root = pattern;
    writeFile(root / "variant/versions.json", R"({"clientrpc":"1","contentStackVersion":{"a":"1"},"webbase":"1","webVersion":"1"})");
    writeFile(root / "variant/content/versions.json", R"({"clientrpc":"0","contentStackVersion":{},"webbase":"0","webVersion":"0"})");
    writeFile(root / "variant/content/en-US/manifest.json", R"({"id":"en-US","units":[]})");
    dispatch::installMainQueue(main);
    onMain = std::make_unique<dispatch::ManualQueue::Presence>(*main);  // the test plays the main thread
    handler = std::make_shared<ContentHandler>(root / "variant", root / "variant/content", downloads, root / "content");
    service = std::make_shared<ContentService>(handler, page.interface);
  }
  void TearDown() override {
    service.reset();
    handler.reset();
    onMain.reset();
    dispatch::installMainQueue(nullptr);
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  fs::path content() const { return root / "content"; }
  /// Runs main until `done` holds (work arrives from the content queue); false after ten seconds.
  bool pump(const std::function<bool()>& done) { return main->runUntil(done, 10s); }
  /// The requests the downloader got, waiting until there are `n`.
  std::vector<downloader::FakeDownloader::Request> waitForRequests(std::size_t n) {
    for (int i = 0; i < 10000 && downloads->requests().size() < n; ++i) std::this_thread::sleep_for(1ms);
    return downloads->requests();
  }
  void download(const std::string& id, const std::string& tmpID, const std::string& localPath,
                const std::string& url = "http://127.0.0.1:9/file") {
    service->downloadResource(id, {localPath, url, tmpID});
  }

  fs::path root;
  std::shared_ptr<dispatch::ManualQueue> main = std::make_shared<dispatch::ManualQueue>("main");
  std::unique_ptr<dispatch::ManualQueue::Presence> onMain;
  std::shared_ptr<dispatch::Queue> fakeHandlers = dispatch::makeSerialQueue("fake-downloads");
  std::shared_ptr<downloader::FakeDownloader> downloads = std::make_shared<downloader::FakeDownloader>(fakeHandlers);
  std::shared_ptr<ContentHandler> handler;
  std::shared_ptr<ContentService> service;
  Recorder page;
};

TEST_F(ContentHandlerTest, ContentURLsJoinTheComponentsUnderTheContentFolder) {
  EXPECT_EQ(handler->contentURL({}), content());
  EXPECT_EQ(handler->contentURL({"a", "b/c.json"}), content() / "a/b/c.json");
}

TEST_F(ContentHandlerTest, DownloadsOfATmpIdRunNewestFirstAndACancelDropsOnlyTheWaitingOnes) {
  {
    Gate gate(*handler->queue());
    download("a", "t", "a.json", "http://127.0.0.1:9/a");
    download("b", "t", "b.json", "http://127.0.0.1:9/b");
  }
  auto requests = waitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].url, "http://127.0.0.1:9/b");
  EXPECT_EQ(requests[0].destination, content() / "t/b.json");
  EXPECT_TRUE(handler->hasDownloads("t"));
  ASSERT_TRUE(downloads->succeed(requests[0].id, "B"));
  requests = waitForRequests(2);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].url, "http://127.0.0.1:9/a");
  ASSERT_TRUE(downloads->fail(requests[1].id, downloader::DownloadErrorKind::httpStatus, "the server answered 500", 500));
  ASSERT_TRUE(pump([&] { return page.size() == 2; }));
  EXPECT_EQ(page.frames()[0], reply("b"));
  EXPECT_EQ(page.frames()[1], error("a", "Error downloading resource to tmpId: t for path: a.json"));
  EXPECT_EQ(readFile(content() / "t/b.json"), "B");
  handler->queue()->sync([] {});
  EXPECT_FALSE(handler->hasDownloads("t"));

  // The list of t stays (empty): the next download of t is taken from it as usual.
  {
    Gate gate(*handler->queue());
    download("c", "t", "c.json", "http://127.0.0.1:9/c");
    download("d", "t", "d.json", "http://127.0.0.1:9/d");
  }
  requests = waitForRequests(3);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2].url, "http://127.0.0.1:9/d");
  // Cancelling t now: d is running and stops with its error; c waits and is dropped unanswered.
  service->cancelDownloadResources("x", {"t"});
  EXPECT_EQ(page.frames().back(), reply("x"));
  EXPECT_EQ(service->pendingDownloadReplies(), 1u) << "c's interface is dropped, d's is kept";
  ASSERT_TRUE(pump([&] { return page.size() == 4; }));
  EXPECT_EQ(page.frames()[3], error("d", "Error downloading resource to tmpId: t for path: d.json"));
  EXPECT_TRUE(downloads->requests()[2].cancelled);
  EXPECT_FALSE(downloads->succeed(requests[2].id, "D")) << "the cancel stopped the download in flight";
  handler->queue()->sync([] {});
  main->runPending();
  EXPECT_EQ(downloads->requests().size(), 3u) << "c was never fetched";
  EXPECT_EQ(page.size(), 4u) << "c was never answered";
  EXPECT_EQ(service->pendingDownloadReplies(), 0u);
  EXPECT_FALSE(fs::exists(content() / "t/d.json"));
  EXPECT_FALSE(handler->hasDownloads("t"));
}

TEST_F(ContentHandlerTest, ContentWorkOfOtherTmpIdsNeverWaitsBehindADownload) {
  writeFile(content() / "other/x.json", "x");
  download("held", "t", "big.bin");
  auto requests = waitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  // While t's download is held: a write, a temporary write, a clean and a download of another
  // tmpId, and a restore are all answered.
  service->writeResource("w", {"p/w.json", "w"});
  service->writeTmpResource("wt", {"w.json", "w", "u"});
  service->cleanTemp("c", {"other"});
  download("d2", "u", "small.json");
  requests = waitForRequests(2);
  ASSERT_EQ(requests.size(), 2u) << "the download of u waited behind t's";
  ASSERT_TRUE(downloads->succeed(requests[1].id, "small"));
  ASSERT_TRUE(pump([&] { return page.size() == 4; }));
  std::set<std::string> answered;
  for (const auto& frame : page.frames()) {
    EXPECT_FALSE(frame.contains("error")) << frame.dump();
    answered.insert(frame.value("id", ""));
  }
  EXPECT_EQ(answered, (std::set<std::string>{"w", "wt", "c", "d2"}));
  EXPECT_EQ(readFile(content() / "u/small.json"), "small");
  EXPECT_TRUE(handler->hasDownloads("t"));

  service->restoreContent("r", true);
  ASSERT_TRUE(pump([&] { return page.size() == 6; }));
  EXPECT_EQ(page.frames()[5], reply("r"));
  EXPECT_FALSE(downloads->requests()[0].finished) << "t's download is still held";
  // Tear-down destroys the handler with t's download in hand: the destruction stops it.
}

TEST_F(ContentHandlerTest, TheConfirmMergesTheAreaIntoTheContentFolderAndRefusesWhileADownloadRuns) {
  writeFile(content() / "pkg/keep.json", "keep");
  writeFile(content() / "pkg/replaced.json", "old");
  writeFile(content() / "pkg/folder-in-the-way.json/inner/x", "old folder");
  writeFile(content() / "t/pkg/replaced.json", "new");
  writeFile(content() / "t/pkg/folder-in-the-way.json", "file");
  writeFile(content() / "t/pkg/sub/new.json", "added");

  // A download of t still running: the confirm is refused and the area stays as it is.
  download("running", "t", "pkg/late.json");
  auto requests = waitForRequests(1);
  service->confirmDownloadResource("c1", {"t"});
  EXPECT_EQ(page.frames().back(),
            error("c1", "Error syncing download using tmpId: t - message: downloads into it are still running"));
  EXPECT_TRUE(fs::exists(content() / "t/pkg/sub/new.json"));
  ASSERT_TRUE(downloads->succeed(requests[0].id, "late"));
  ASSERT_TRUE(pump([&] { return page.size() == 2; }));
  handler->queue()->sync([] {});

  service->confirmDownloadResource("c2", {"t"});
  EXPECT_EQ(page.frames().back(), reply("c2"));
  EXPECT_EQ(readFile(content() / "pkg/keep.json"), "keep");
  EXPECT_EQ(readFile(content() / "pkg/replaced.json"), "new");
  EXPECT_EQ(readFile(content() / "pkg/folder-in-the-way.json"), "file");
  EXPECT_EQ(readFile(content() / "pkg/sub/new.json"), "added");
  EXPECT_EQ(readFile(content() / "pkg/late.json"), "late");
  EXPECT_FALSE(fs::exists(content() / "t"));
  for (const auto& entry : fs::directory_iterator(content() / "pkg"))
    EXPECT_NE(entry.path().filename().string()[0], '.') << "left behind: " << entry.path();

  // A tmpId that never received a file: the listing fails.
  service->confirmDownloadResource("c3", {"never"});
  EXPECT_EQ(page.frames().back(),
            error("c3", "Error syncing download using tmpId: never - message: No such file or directory"));
}

TEST_F(ContentHandlerTest, TemporaryFilesOfAKilledHostAreRemovedAtStartAndNeverConfirmed) {
  // What a host killed during a download and a write leaves behind.
  writeFile(content() / "t/pkg/.video.mp4.download-a1B2c3", "partial");
  writeFile(content() / "t/pkg/done.json", "done");
  writeFile(content() / "pkg/.manifest.json.tmp-0123456789ab", "half");
  writeFile(content() / "pkg/.x.json.replaced-12-1/inner", "old");
  writeFile(content() / "pkg/.hidden-but-the-page's.json", "keep");
  writeFile(content() / "pkg/manifest.json", "{}");

  // A confirm before the sweep moves only finished files.
  service->confirmDownloadResource("c", {"t"});
  EXPECT_EQ(page.frames().back(), reply("c"));
  EXPECT_EQ(readFile(content() / "pkg/done.json"), "done");
  EXPECT_FALSE(fs::exists(content() / "pkg/.video.mp4.download-a1B2c3")) << "a partial download was confirmed";
  EXPECT_FALSE(fs::exists(content() / "pkg/video.mp4"));

  handler->removeStrayTemporaries();
  handler->queue()->sync([] {});
  EXPECT_FALSE(fs::exists(content() / "pkg/.manifest.json.tmp-0123456789ab"));
  EXPECT_FALSE(fs::exists(content() / "pkg/.x.json.replaced-12-1"));
  EXPECT_EQ(readFile(content() / "pkg/.hidden-but-the-page's.json"), "keep");
  EXPECT_EQ(readFile(content() / "pkg/manifest.json"), "{}");
  EXPECT_TRUE(ContentHandler::isTemporaryName(".a.download-XXXXXX"));
  EXPECT_FALSE(ContentHandler::isTemporaryName("a.download-XXXXXX"));
  EXPECT_FALSE(ContentHandler::isTemporaryName(".a.tmp-short"));
}

TEST_F(ContentHandlerTest, PathsFromThePageNeverLeaveTheirArea) {
  writeFile(root / "outside/victim.json", "safe");
  fs::create_directories(content());
  const std::vector<std::string> badTmpIDs = {"", ".", "..", "a/b", "../outside", std::string("a\0b", 3)};
  const std::vector<std::string> badPaths = {"", "..", "../outside/victim.json", "a/../../outside/victim.json",
                                             "a//b", "a/./b"};
  int n = 0;
  for (const auto& tmpID : badTmpIDs) {
    auto id = "t" + std::to_string(n++);
    download(id, tmpID, "ok.json");
    EXPECT_EQ(page.frames().back(), error(id, "Error downloading resource to tmpId: " + tmpID + " for path: ok.json"));
    service->cleanTemp(id + "c", {tmpID});
    ASSERT_TRUE(pump([&] { return page.frames().back().value("id", "") == id + "c"; })) << tmpID;
    EXPECT_TRUE(page.frames().back().contains("error")) << tmpID;
    service->confirmDownloadResource(id, {tmpID});
    EXPECT_EQ(page.frames().back(), error(id, "Error syncing download using tmpId: " + tmpID + " - message: invalid tmpId"));
    service->writeTmpResource(id + "w", {"ok.json", "x", tmpID});
    ASSERT_TRUE(pump([&] { return page.frames().back().value("id", "") == id + "w"; })) << tmpID;
    EXPECT_EQ(page.frames().back(), error(id + "w", "Error writing resource to tmpId: " + tmpID + " for path: ok.json"));
  }
  for (const auto& localPath : badPaths) {
    auto id = "p" + std::to_string(n++);
    download(id, "t", localPath);
    EXPECT_EQ(page.frames().back(), error(id, "Error downloading resource to tmpId: t for path: " + localPath));
    service->writeResource(id + "w", {localPath, "x"});
    ASSERT_TRUE(pump([&] { return page.frames().back().value("id", "") == id + "w"; }));
    EXPECT_EQ(page.frames().back(), error(id + "w", "Error writing resource to tmpId: nil for path: " + localPath));
  }
  // A link inside an area does not lead a download or a write out of it.
  fs::create_directories(content() / "linked");
  fs::create_directory_symlink(root / "outside", content() / "linked/out");
  download("l1", "linked", "out/victim.json");
  ASSERT_TRUE(pump([&] { return page.frames().back().value("id", "") == "l1"; }));
  EXPECT_EQ(page.frames().back(), error("l1", "Error downloading resource to tmpId: linked for path: out/victim.json"));
  service->writeTmpResource("l2", {"out/victim.json", "x", "linked"});
  ASSERT_TRUE(pump([&] { return page.frames().back().value("id", "") == "l2"; }));
  EXPECT_EQ(page.frames().back(), error("l2", "Error writing resource to tmpId: linked for path: out/victim.json"));
  EXPECT_EQ(readFile(root / "outside/victim.json"), "safe");
  EXPECT_TRUE(downloads->requests().empty());
}

TEST_F(ContentHandlerTest, WritesCleansAndTheirReplies) {
  service->writeTmpResource("w1", {"x/y.json", "{\"a\":1}", "t1"});
  service->writeResource("w2", {"x/y.json", "plain"});
  ASSERT_TRUE(pump([&] { return page.size() == 2; }));
  EXPECT_EQ(page.frames()[0], reply("w1"));
  EXPECT_EQ(page.frames()[1], reply("w2"));
  EXPECT_EQ(readFile(content() / "t1/x/y.json"), "{\"a\":1}");
  EXPECT_EQ(readFile(content() / "x/y.json"), "plain");

  // A write that fails: a folder sits where the file should go.
  fs::create_directories(content() / "x/dir.json");
  service->writeResource("w3", {"x/dir.json", "x"});
  ASSERT_TRUE(pump([&] { return page.size() == 3; }));
  EXPECT_EQ(page.frames()[2], error("w3", "Error writing resource to tmpId: nil for path: x/dir.json"));

  service->cleanTemp("c1", {"t1"});
  ASSERT_TRUE(pump([&] { return page.size() == 4; }));
  EXPECT_EQ(page.frames().back(), reply("c1"));
  EXPECT_FALSE(fs::exists(content() / "t1"));
  service->cleanTemp("c2", {"t1"});
  ASSERT_TRUE(pump([&] { return page.size() == 5; }));
  EXPECT_EQ(page.frames().back(), error("c2", "Error cleaning tmpId: t1 - message: No such file or directory"));
}

TEST_F(ContentHandlerTest, ACleanWaitsForTheDownloadWritingIntoItsArea) {
  download("d", "t", "a.json");
  auto requests = waitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  service->cleanTemp("c", {"t"});
  std::this_thread::sleep_for(50ms);
  main->runPending();
  EXPECT_EQ(page.size(), 0u) << "the clean went ahead of the download in hand";
  ASSERT_TRUE(downloads->succeed(requests[0].id, "A"));
  ASSERT_TRUE(pump([&] { return page.size() == 2; }));
  EXPECT_EQ(page.frames()[0], reply("d"));
  EXPECT_EQ(page.frames()[1], reply("c"));
  EXPECT_FALSE(fs::exists(content() / "t")) << "the download's file outlived the clean";
}

TEST_F(ContentHandlerTest, ADownloadAskedForBeforeTheCopyAtStartWritesIntoTheCopiedFolder) {
  // Start-up as the kit runs it, with a download asked for during the migrations.
  handler->holdDownloads();
  download("d", "t", "a.json");
  bool restored = false;
  handler->restorePrepackedContent([&](bool ok) { restored = ok; });
  handler->releaseDownloads();
  ASSERT_TRUE(pump([&] { return restored; }));
  auto requests = waitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_TRUE(downloads->succeed(requests[0].id, "A"));
  ASSERT_TRUE(pump([&] { return page.size() == 1; }));
  EXPECT_EQ(page.frames()[0], reply("d"));
  EXPECT_EQ(readFile(content() / "t/a.json"), "A") << "the copy took the download's folder";
  EXPECT_EQ(readFile(content() / "versions.json"), readFile(root / "variant/versions.json"));
}

TEST_F(ContentHandlerTest, TheRestorePutsThePrepackedContentAndTheVariantVersionsInPlace) {
  writeFile(content() / "en-US/manifest.json", "old");
  writeFile(content() / "t/partial.json", "temporary");
  service->restoreContent("r1", true);
  ASSERT_TRUE(pump([&] { return page.size() == 2; }));
  EXPECT_EQ(page.frames()[0], Json::parse(R"({"method":"/content/contentrestored","params":{},"jsonrpc":"2.0"})"));
  EXPECT_EQ(page.frames()[1], reply("r1"));
  EXPECT_EQ(readFile(content() / "en-US/manifest.json"), R"({"id":"en-US","units":[]})");
  EXPECT_EQ(readFile(content() / "versions.json"), readFile(root / "variant/versions.json"));
  EXPECT_FALSE(fs::exists(content() / "t"));
  EXPECT_FALSE(service->needsPrepackedContentCopy());

  // Without the variant's record the items are copied all the same, and the restore fails.
  fs::remove(root / "variant/versions.json");
  fs::remove_all(content());
  service->restoreContent("r2", false);
  ASSERT_TRUE(pump([&] { return page.size() == 3; }));
  EXPECT_EQ(page.frames()[2], error("r2", "Error deleting content"));
  EXPECT_TRUE(fs::exists(content() / "en-US/manifest.json"));
  EXPECT_FALSE(fs::exists(content() / "versions.json"));
  EXPECT_TRUE(service->needsPrepackedContentCopy());
}

TEST_F(ContentHandlerTest, APrepackedItemThatCannotBeCopiedIsSkippedAndTheRestRestored) {
  writeFile(root / "variant/content/en-US/unit/a.json", "a");
  fs::create_symlink(root / "nowhere", root / "variant/content/en-US/dangling.json");
  writeFile(root / "variant/content/z-last.json", "z");
  service->restoreContent("r", true);
  ASSERT_TRUE(pump([&] { return page.size() == 2; }));
  EXPECT_EQ(page.frames()[1], reply("r"));
  EXPECT_EQ(readFile(content() / "en-US/manifest.json"), R"({"id":"en-US","units":[]})");
  EXPECT_EQ(readFile(content() / "en-US/unit/a.json"), "a");
  EXPECT_EQ(readFile(content() / "z-last.json"), "z");
  EXPECT_FALSE(fs::exists(fs::symlink_status(content() / "en-US/dangling.json")));
  EXPECT_FALSE(service->needsPrepackedContentCopy());
  // Delete answers too, so a fresh installation is never left without content.
  service->restoreContent("d", false);
  ASSERT_TRUE(pump([&] { return page.size() == 4; }));
  EXPECT_EQ(page.frames()[3], reply("d"));
}

TEST_F(ContentHandlerTest, TheCopyAtStartDependsOnTheContentStackVersionsOnly) {
  auto versions = [](const std::string& stack) {
    return R"({"clientrpc":"1","contentStackVersion":)" + stack + R"(,"webbase":"1","webVersion":"1"})";
  };
  EXPECT_TRUE(service->needsPrepackedContentCopy()) << "nothing installed yet";
  struct Case {
    std::string installed, variant;
    bool copy;
  } cases[] = {
      {R"({"a":"1","b":"2"})", R"({"a":"1"})", false},
      {R"({"a":"1"})", R"({"a":"2"})", true},
      {R"({"a":"1"})", R"({"b":"1"})", true},
      {R"({"a":"1"})", R"({})", false},
  };
  for (const auto& c : cases) {
    writeFile(content() / "versions.json", versions(c.installed));
    writeFile(root / "variant/versions.json", versions(c.variant));
    EXPECT_EQ(service->needsPrepackedContentCopy(), c.copy) << c.installed << " / " << c.variant;
  }
  writeFile(root / "variant/versions.json", "{ broken");
  EXPECT_TRUE(service->needsPrepackedContentCopy());
  writeFile(root / "variant/versions.json", versions("{}"));
  writeFile(content() / "versions.json", R"({"contentStackVersion":{}})");
  EXPECT_TRUE(service->needsPrepackedContentCopy()) << "an installed record that does not decode";
}

TEST_F(ContentHandlerTest, ManifestsCarryOfflineAvailabilityWorkedOutAtEveryRead) {
  auto activity = [](const std::string& id) {
    return Json{{"id", id}, {"title", ""}, {"subtitle", ""}, {"description", ""}, {"duration", ""}, {"level", ""}};
  };
  Json manifest = {{"id", "pkg"},
                   {"units",
                    {{{"id", "u1"}, {"title", ""}, {"description", ""}, {"unavailableOffline", true}},
                     {{"id", "u2"}, {"title", ""}, {"description", ""}, {"activities", {activity("a1"), activity("a2")}}},
                     {{"id", "u3"}, {"title", ""}, {"description", ""}, {"activities", {activity("../../x")}}}}}};
  writeFile(content() / "pkg/manifest.json", manifest.dump());
  writeFile(content() / "pkg/u2/activities/a1/manifest.json", "{}");
  auto offline = [&] {
    std::vector<std::optional<bool>> flags;
    auto read = handler->readManifest("pkg");
    if (read)
      for (const auto& unit : read->units) flags.push_back(unit.unavailableOffline);
    return flags;
  };
  EXPECT_EQ(offline(), (std::vector<std::optional<bool>>{false, true, true}));
  writeFile(content() / "pkg/u2/activities/a2/manifest.json", "{}");
  EXPECT_EQ(offline(), (std::vector<std::optional<bool>>{false, false, true}));
  fs::remove_all(content() / "pkg/u2/activities/a1");
  EXPECT_EQ(offline(), (std::vector<std::optional<bool>>{false, true, true}));
  EXPECT_FALSE(handler->readManifest("missing"));
  EXPECT_FALSE(handler->readManifest("../variant/content/en-US"));
}

TEST_F(ContentHandlerTest, AManifestIsAnsweredAsTheJSONOfWhatIsRead) {
  Json manifest = {{"id", "pkg"},
                   {"dropped", "a key no table names"},
                   {"units", {{{"id", "u1"}, {"title", "One"}, {"description", ""}, {"unavailableOffline", true}}}}};
  writeFile(content() / "pkg/manifest.json", manifest.dump());
  auto text = handler->manifestJSON("pkg");
  ASSERT_TRUE(text);
  const auto answered = Json::parse(*text);
  EXPECT_FALSE(answered.contains("dropped"));
  EXPECT_EQ(answered.at("units").at(0).at("title"), "One");
  EXPECT_EQ(answered.at("units").at(0).at("unavailableOffline"), false);
  EXPECT_EQ(answered, Json::parse(*encodeText(*handler->readManifest("pkg"))));
  EXPECT_FALSE(handler->manifestJSON("missing"));
  writeFile(content() / "broken/manifest.json", "{ nope");
  EXPECT_FALSE(handler->manifestJSON("broken"));
}

}  // namespace
}  // namespace kestrom

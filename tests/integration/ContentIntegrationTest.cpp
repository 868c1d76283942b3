// Content packages through the headless host: the page's content requests over the real channel,
// a local HTTP server as the download peer, the content folder on disk.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/downloader/HttpPeer.h"
#include "tests/integration/HostProcess.h"
#include "tests/integration/HostPage.h"
#include "tests/support/RawHttp.h"

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

// A proxy set in the environment must not take the host's loopback downloads.
const bool kNoProxy = [] { return ::setenv("no_proxy", "127.0.0.1,localhost", 1) == 0; }();

constexpr std::uint64_t kLargeSize = std::uint64_t{200} << 20;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Json reply(const std::string& id) { return Json{{"id", id}, {"result", Json::object()}, {"jsonrpc", "2.0"}}; }
Json error(const std::string& id, const std::string& text) {
  return Json{{"id", id}, {"error", text}, {"jsonrpc", "2.0"}};
}

std::uint64_t statusKiB(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
  return 0;
}

/// The names below `folder` whose file name starts with a dot (left-over temporary files).
std::vector<std::string> hiddenFiles(const fs::path& folder) {
  std::vector<std::string> hidden;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (it->path().filename().string().starts_with(".")) hidden.push_back(it->path());
  return hidden;
}

class ContentIntegrationTest : public ::testing::Test {
 protected:
  ContentIntegrationTest() {
    for (const std::string name : {"a", "b", "c", "x", "y"})
      route("/file/" + name, [name](HttpPeer::Connection& c) {
        auto body = "{\"file\":\"" + name + "\"}";
        c.sendHead(200, {"Content-Length: " + std::to_string(body.size())}) && c.send(body);
      });
    route("/redirect", [](HttpPeer::Connection& c) { c.sendHead(302, {"Location: /file/c", "Content-Length: 0"}); });
    route("/to-ftp", [this](HttpPeer::Connection& c) {
      c.sendHead(302, {"Location: ftp://127.0.0.1:" + std::to_string(peer.port()) + "/file/a", "Content-Length: 0"});
    });
    for (int status : {404, 500})
      route("/status/" + std::to_string(status), [status](HttpPeer::Connection& c) {
        c.sendHead(status, {"Content-Length: 5"}) && c.send("error");
      });
    route("/truncated", [](HttpPeer::Connection& c) {
      c.sendHead(200, {"Content-Length: 100000"}) && c.send(std::string(1000, 't'));
    });
    // Chunked, with a Content-Length beside it that the body runs past.
    route("/overrun", [](HttpPeer::Connection& c) {
      c.sendHead(200, {"Transfer-Encoding: chunked", "Content-Length: 4"}) && c.send("10\r\n" + std::string(16, 'o') + "\r\n0\r\n\r\n");
    });
    route("/slow", [](HttpPeer::Connection& c) {
      if (!c.sendHead(200, {"Content-Length: 20"})) return;
      for (int i = 0; i < 20 && c.idle(50) && c.send("s"); ++i) {
      }
    });
    // Sends half its body, then waits for release() (at most a minute) before the rest.
    route("/held", [this](HttpPeer::Connection& c) {
      if (!c.sendHead(200, {"Content-Length: 10"}) || !c.send("held-")) return;
      for (int i = 0; i < 3000 && !released_ && c.idle(20); ++i) {
      }
      c.send("done!");
    });
    route("/large", [this](HttpPeer::Connection& c) {
      if (auto hash = sendStream(c, kLargeSize)) largeHash_ = *hash;
    });
  }

  void route(const std::string& path, HttpPeer::Handler handler) {
    peer.route(path, [this, path, handler = std::move(handler)](HttpPeer::Connection& c) {
      {
        std::lock_guard lock(mutex_);
        requested_.push_back(path);
        changed_.notify_all();
      }
      handler(c);
    });
  }
  /// The paths the peer was asked for, in order.
  std::vector<std::string> requested() {
    std::lock_guard lock(mutex_);
    return requested_;
  }
  /// Waits (up to a minute) until the peer was asked for `path`.
  bool waitForRequest(const std::string& path) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 60s, [&] {
      return std::find(requested_.begin(), requested_.end(), path) != requested_.end();
    });
  }
  void release() { released_ = true; }

  fs::path content() const { return home.path / ".cache/org.kestrom.KestromKit/content"; }
  Json download(const std::string& tmpID, const std::string& localPath, const std::string& path) {
    return {{"localPath", localPath}, {"remoteUrl", peer.url(path)}, {"tmpId", tmpID}};
  }

  TemporaryHome home;
  HttpPeer peer;
  std::atomic<bool> released_{false};
  std::atomic<std::uint64_t> largeHash_{0};
  std::mutex mutex_;  // guards requested_
  std::condition_variable changed_;
  std::vector<std::string> requested_;
};

TEST_F(ContentIntegrationTest, DownloadsRunNewestFirstAndTheConfirmMovesThemIntoTheContentFolder) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host, 60s);
  ASSERT_TRUE(page.connected());

  // A download of t is held while three more of t are queued behind it.
  page.request("h", "/content/downloadresource", download("t", "held.bin", "/held"));
  ASSERT_TRUE(waitForRequest("/held"));
  page.request("a", "/content/downloadresource", download("t", "pkg/a.json", "/file/a"));
  page.request("b", "/content/downloadresource", download("t", "pkg/sub/b.json", "/file/b"));
  page.request("c", "/content/downloadresource", download("t", "pkg/c.json", "/redirect"));
  page.request("p", "/ping");
  EXPECT_EQ(page.nextReply(), reply("p"));
  release();
  std::vector<std::string> order;
  for (int i = 0; i < 4; ++i) {
    auto frame = page.nextReply();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->at("result"), Json::object()) << frame->dump();
    order.push_back(frame->at("id"));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"h", "c", "b", "a"}));
  EXPECT_EQ(requested(), (std::vector<std::string>{"/held", "/redirect", "/file/c", "/file/b", "/file/a"}));
  EXPECT_EQ(readFile(content() / "t/pkg/sub/b.json"), R"({"file":"b"})");
  EXPECT_EQ(readFile(content() / "t/held.bin"), "held-done!");

  // Something is already where a moved file goes: a file is replaced, a folder merged into.
  page.request("w", "/content/writeresource", {{"localPath", "pkg/keep.json"}, {"resource", "keep"}});
  EXPECT_EQ(page.nextReply(), reply("w"));
  page.request("w2", "/content/writeresource", {{"localPath", "pkg/a.json"}, {"resource", "old"}});
  EXPECT_EQ(page.nextReply(), reply("w2"));
  page.request("k", "/content/confirmdownloadresource", {{"tmpId", "t"}});
  EXPECT_EQ(page.nextReply(), reply("k"));
  EXPECT_EQ(readFile(content() / "pkg/a.json"), R"({"file":"a"})");
  EXPECT_EQ(readFile(content() / "pkg/sub/b.json"), R"({"file":"b"})");
  EXPECT_EQ(readFile(content() / "pkg/c.json"), R"({"file":"c"})");
  EXPECT_EQ(readFile(content() / "pkg/keep.json"), "keep");
  EXPECT_FALSE(fs::exists(content() / "t"));
  EXPECT_EQ(hiddenFiles(content()), std::vector<std::string>{});
}

TEST_F(ContentIntegrationTest, FailedDownloadsGetTheirErrorAndLeaveNoFileBehind) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host, 60s);
  ASSERT_TRUE(page.connected());

  page.request("bad", "/content/downloadresource",
               {{"localPath", "x.json"}, {"remoteUrl", "file:///etc/passwd"}, {"tmpId", "t"}});
  EXPECT_EQ(page.nextReply(), error("bad", "contentDownloadResource: Invalid URL: file:///etc/passwd"));

  // A port nobody listens on: bound, then released.
  auto closedPort = [] {
    HttpPeer gone;
    return gone.url("/file/a");
  }();
  const std::vector<std::pair<std::string, std::string>> failing = {
      {"500", "/status/500"}, {"404", "/status/404"}, {"cut", "/truncated"}, {"ftp", "/to-ftp"}, {"over", "/overrun"}};
  for (const auto& [name, path] : failing) {
    page.request(name, "/content/downloadresource", download("t", name + ".bin", path));
    EXPECT_EQ(page.nextReply(), error(name, "Error downloading resource to tmpId: t for path: " + name + ".bin"));
  }
  page.request("refused", "/content/downloadresource",
               {{"localPath", "refused.bin"}, {"remoteUrl", closedPort}, {"tmpId", "t"}});
  EXPECT_EQ(page.nextReply(), error("refused", "Error downloading resource to tmpId: t for path: refused.bin"));

  page.request("slow", "/content/downloadresource", download("t", "slow.bin", "/slow"));
  EXPECT_EQ(page.nextReply(), reply("slow"));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(content() / "t")) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"slow.bin"});
  EXPECT_EQ(readFile(content() / "t/slow.bin"), std::string(20, 's'));
}

TEST_F(ContentIntegrationTest, ACancelDropsTheWaitingDownloadsAndStopsTheRunningOne) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host, 60s);
  ASSERT_TRUE(page.connected());

  page.request("x", "/content/downloadresource", download("t", "x.json", "/file/x"));
  page.request("y", "/content/downloadresource", download("t", "y.json", "/file/y"));
  page.request("h", "/content/downloadresource", download("t", "held.bin", "/held"));
  // x went first (nothing else was queued); y waits behind x... unless x is done already. Either
  // way, once the held one runs, whatever of t still waits is dropped by the cancel.
  ASSERT_TRUE(waitForRequest("/held"));
  std::map<std::string, Json> replies;
  auto waitFor = [&](const std::string& id) {
    while (!replies.contains(id)) {
      auto frame = page.nextReply();
      if (!frame) return false;
      replies[frame->at("id")] = *frame;
    }
    return true;
  };
  // Content work of other tmpIds goes on while t's download is held.
  page.request("w", "/content/writeresource", {{"localPath", "pkg/w.json"}, {"resource", "w"}});
  page.request("wt", "/content/writetmpresource", {{"localPath", "w.json"}, {"resource", "w"}, {"tmpId", "u"}});
  page.request("c", "/content/cleantemp", {{"tmpId", "u"}});
  page.request("u", "/content/downloadresource", download("v", "a.json", "/file/a"));
  for (const auto* id : {"w", "wt", "c", "u"}) {
    ASSERT_TRUE(waitFor(id)) << id;
    EXPECT_EQ(replies.at(id), reply(id));
  }
  EXPECT_FALSE(replies.contains("h")) << "the held download is still running";

  page.request("k", "/content/confirmdownloadresource", {{"tmpId", "t"}});
  page.request("cancel", "/content/cancelsdownloadresources", {{"tmpId", "t"}});
  ASSERT_TRUE(waitFor("cancel"));
  EXPECT_EQ(replies.at("k"),
            error("k", "Error syncing download using tmpId: t - message: downloads into it are still running"));
  EXPECT_EQ(replies.at("cancel"), reply("cancel"));
  // The running download stops with its error; its partial file goes with it.
  ASSERT_TRUE(waitFor("h"));
  EXPECT_EQ(replies.at("h"), error("h", "Error downloading resource to tmpId: t for path: held.bin"));
  EXPECT_FALSE(fs::exists(content() / "t/held.bin"));
  if (fs::exists(content() / "t")) {
    for (const auto& entry : fs::directory_iterator(content() / "t")) {
      EXPECT_EQ(entry.path().filename().string().find(".held.bin"), std::string::npos) << entry.path();
    }
  }
  // The dropped downloads are never fetched and never answered.
  page.request("p", "/ping");
  ASSERT_TRUE(waitFor("p"));
  auto asked = requested();
  std::size_t fetched = std::count(asked.begin(), asked.end(), "/file/x") + std::count(asked.begin(), asked.end(), "/file/y");
  std::size_t answered = replies.contains("x") + replies.contains("y");
  EXPECT_EQ(fetched, answered) << "every fetched download was answered, and only those";

  // The page confirms once the area is quiet.
  page.request("k2", "/content/confirmdownloadresource", {{"tmpId", "t"}});
  ASSERT_TRUE(waitFor("k2"));
  EXPECT_EQ(replies.at("k2"), reply("k2"));
  EXPECT_FALSE(fs::exists(content() / "held.bin"));
}

TEST_F(ContentIntegrationTest, TheHostStopsCleanlyWhileADownloadRunsAndLeavesNoPartialFile) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  ASSERT_TRUE(page.connected());
  page.request("h", "/content/downloadresource", download("t", "held.bin", "/held"));
  page.request("x", "/content/downloadresource", download("t", "x.json", "/file/x"));
  ASSERT_TRUE(waitForRequest("/held"));
  // The held peer would keep the download open for a minute; stopping must not wait for it.
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(host.stop(std::chrono::seconds(30)), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
  EXPECT_FALSE(fs::exists(content() / "t/held.bin"));
  EXPECT_EQ(hiddenFiles(content() / "t"), std::vector<std::string>{});
}

TEST_F(ContentIntegrationTest, UnknownTmpIdsAndPathsOutsideTheirAreaAreAnswered) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  ASSERT_TRUE(page.connected());

  page.request("k", "/content/confirmdownloadresource", {{"tmpId", "never"}});
  EXPECT_EQ(page.nextReply(), error("k", "Error syncing download using tmpId: never - message: No such file or directory"));
  page.request("c", "/content/cleantemp", {{"tmpId", "never"}});
  EXPECT_EQ(page.nextReply(), error("c", "Error cleaning tmpId: never - message: No such file or directory"));

  page.request("d1", "/content/downloadresource", download("..", "x.json", "/file/a"));
  EXPECT_EQ(page.nextReply(), error("d1", "Error downloading resource to tmpId: .. for path: x.json"));
  page.request("d2", "/content/downloadresource", download("t", "../../../escape.json", "/file/a"));
  EXPECT_EQ(page.nextReply(), error("d2", "Error downloading resource to tmpId: t for path: ../../../escape.json"));
  page.request("w1", "/content/writeresource", {{"localPath", "../escape.json"}, {"resource", "x"}});
  EXPECT_EQ(page.nextReply(), error("w1", "Error writing resource to tmpId: nil for path: ../escape.json"));
  page.request("w2", "/content/writetmpresource", {{"localPath", "x.json"}, {"resource", "x"}, {"tmpId", "../.."}});
  EXPECT_EQ(page.nextReply(), error("w2", "Error writing resource to tmpId: ../.. for path: x.json"));
  page.request("c2", "/content/cleantemp", {{"tmpId", ".."}});
  EXPECT_TRUE(page.nextReply()->contains("error"));
  page.request("k2", "/content/confirmdownloadresource", {{"tmpId", ""}});
  EXPECT_EQ(page.nextReply(), error("k2", "Error syncing download using tmpId:  - message: invalid tmpId"));
  EXPECT_TRUE(fs::exists(content() / "versions.json")) << "the content folder is still there";
  EXPECT_EQ(requested(), std::vector<std::string>{});
  for (const auto& name : {"escape.json", ".cache/escape.json", ".cache/org.kestrom.KestromKit/escape.json"})
    EXPECT_FALSE(fs::exists(home.path / name)) << name;
}

TEST_F(ContentIntegrationTest, ManifestsAreReadWithOfflineAvailabilityWorkedOutEachTime) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  ASSERT_TRUE(page.connected());
  auto activity = [](const std::string& id) {
    return Json{{"id", id}, {"title", ""}, {"subtitle", ""}, {"description", ""}, {"duration", ""}, {"level", ""}};
  };
  Json manifest = {{"id", "pkg"},
                   {"units",
                    {{{"id", "u1"}, {"title", ""}, {"description", ""}, {"unavailableOffline", true}},
                     {{"id", "u2"}, {"title", ""}, {"description", ""}, {"activities", {activity("a1"), activity("a2")}}}}}};
  auto write = [&](const std::string& id, const std::string& path, const std::string& text) {
    page.request(id, "/content/writeresource", {{"localPath", path}, {"resource", text}});
    EXPECT_EQ(page.nextReply(), reply(id));
  };
  write("m", "pkg/manifest.json", manifest.dump());
  write("a1", "pkg/u2/activities/a1/manifest.json", "{}");
  auto offline = [&] {
    RawHttpConnection connection(static_cast<std::uint16_t>(host.httpPort()));
    connection.send(makeHttpRequest("GET", "/content/pkg/manifest.json",
                                    {{"Host", "127.0.0.1:" + std::to_string(host.httpPort())}, {"Cookie", host.cookie()}}));
    auto response = connection.readResponse();
    EXPECT_EQ(response.status, 200) << response.body;
    std::vector<bool> flags;
    if (response.status != 200) return flags;
    const auto manifest = Json::parse(response.body);
    for (const auto& unit : manifest.at("units")) flags.push_back(unit.at("unavailableOffline"));
    return flags;
  };
  EXPECT_EQ(offline(), (std::vector<bool>{false, true}));
  write("a2", "pkg/u2/activities/a2/manifest.json", "{}");
  EXPECT_EQ(offline(), (std::vector<bool>{false, false}));
}

// Sixty answers at once: twenty videos of 16 MiB (far more than the bound, were they read whole),
// twenty subtitle files converted in memory and twenty manifests decoded and encoded.
TEST_F(ContentIntegrationTest, TwentyRequestsAtOnceForEachKindOfContentStayWithinTheirMemoryBound) {
#if defined(KESTROM_SANITIZE_ADDRESS) || defined(KESTROM_SANITIZE_THREAD)
  // The sanitizers' allocators hold freed memory back (a quarantine, shadow pages), so what one
  // decode leaves behind is never reused by the next: the bound is the plain build's.
  GTEST_SKIP() << "memory bounds hold for the plain build";
#endif
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  ASSERT_TRUE(page.connected());
  page.request("p", "/ping");
  ASSERT_EQ(page.nextReply(), reply("p"));  // start-up, and its copy of the content, is over
  // A video, a subtitle file near its bound and a manifest of about 1 MiB (real ones are far
  // smaller).
  fs::create_directories(content() / "pkg");
  {
    std::ofstream video(content() / "pkg/video.mp4", std::ios::binary);
    const std::string chunk(1 << 20, 'v');
    for (int i = 0; i < 16; ++i) video << chunk;
    std::ofstream srt(content() / "pkg/video.srt", std::ios::binary);
    const std::string cue = "1\n00:00:01,000 --> 00:00:02,000\n" + std::string(100, 's') + "\n\n";
    for (std::size_t size = 0; size + cue.size() < (512u << 10); size += cue.size()) srt << cue;
    Json units = Json::array();
    for (std::size_t i = 0, size = 0; size < (1u << 20); ++i) {
      units.push_back({{"id", "u" + std::to_string(i)}, {"title", std::string(60, 't')}, {"description", ""}});
      size += units.back().dump().size() + 1;
    }
    std::ofstream(content() / "pkg/manifest.json", std::ios::binary) << Json{{"id", "pkg"}, {"units", units}}.dump();
  }
  auto memoryKiB = [&](const std::string& field) -> long {
    std::ifstream in("/proc/" + std::to_string(host.pid()) + "/status");
    for (std::string line; std::getline(in, line);)
      if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
  };
  std::ofstream clear("/proc/" + std::to_string(host.pid()) + "/clear_refs");
  clear << "5";
  clear.flush();
  if (!clear) GTEST_SKIP() << "the host's peak resident size cannot be reset here";
  const long idle = memoryKiB("VmRSS");

  const std::vector<std::string> targets = {"/content/pkg/video.mp4", "/subtitles?url=/content/pkg/video.srt",
                                            "/content/pkg/manifest.json"};
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (const auto& target : targets)
    for (int i = 0; i < 20; ++i)
      clients.emplace_back([&, target] {
        RawHttpConnection connection(static_cast<std::uint16_t>(host.httpPort()));
        connection.send(makeHttpRequest(
            "GET", target, {{"Host", "127.0.0.1:" + std::to_string(host.httpPort())}, {"Cookie", host.cookie()}}));
        auto response = connection.readResponse(60s);
        if (response.status == 200 && !response.body.empty()) ++answered;
      });
  for (auto& client : clients) client.join();
  EXPECT_EQ(answered, 60);
  const long growth = memoryKiB("VmHWM") - idle;
  std::printf("peak growth of the host for 20 x 3 requests: %ld KiB\n", growth);
  EXPECT_LT(growth, 64 * 1024) << "KiB above the idle host";
}

TEST_F(ContentIntegrationTest, RestoreAndDeleteReturnTheContentFolderToThePrepackedState) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  ASSERT_TRUE(page.connected());
  const auto variantVersions = readFile(fs::path(KESTROM_SOURCE_DIR) / "bundle/variant/versions.json");
  for (const auto& [method, notification] : {std::pair{"/content/restorecontent", "/content/contentrestored"},
                                             std::pair{"/content/deletecontent", "/content/contentdeleted"}}) {
    page.request("w", "/content/writetmpresource", {{"localPath", "x.json"}, {"resource", "x"}, {"tmpId", "t"}});
    EXPECT_EQ(page.nextReply(), reply("w"));
    ASSERT_TRUE(fs::exists(content() / "t/x.json"));
    page.request("r", method);
    std::optional<Json> frame;
    do frame = page.next();
    while (frame && frame->value("method", "") == "host/lifecycle/foreground");
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, Json::parse(R"({"method":")" + std::string(notification) + R"(","params":{},"jsonrpc":"2.0"})"));
    EXPECT_EQ(page.next(), reply("r"));
    EXPECT_FALSE(fs::exists(content() / "t"));
    EXPECT_EQ(readFile(content() / "versions.json"), variantVersions);
    EXPECT_TRUE(fs::exists(content() / "appconfig/appconfig.json"));
  }
}

TEST_F(ContentIntegrationTest, TheStartUpCopyRunsOnceAndAFailedCopyDoesNotStopStartUp) {
  auto copies = [](const std::string& log) {
    std::size_t n = 0;
    for (auto at = log.find("Content changed. Copying prepacked content"); at != std::string::npos;
         at = log.find("Content changed. Copying prepacked content", at + 1))
      ++n;
    return n;
  };
  for (int run = 0; run < 2; ++run) {
    HostProcess host(home.path);
    ASSERT_TRUE(host.running()) << host.errorOutput();
    Page page(host);
    EXPECT_EQ(page.next()->at("method"), "host/lifecycle/foreground");
    EXPECT_EQ(host.stop(), 0);
    EXPECT_EQ(copies(host.errorOutput()), 1u) << host.errorOutput();
  }
  EXPECT_EQ(readFile(content() / "versions.json"),
            readFile(fs::path(KESTROM_SOURCE_DIR) / "bundle/variant/versions.json"));

  // A bundle whose variant has no "versions.json": every start copies, fails, and goes on.
  TemporaryHome other;
  const auto bundle = other.path / "bundle";
  fs::copy(fs::path(KESTROM_SOURCE_DIR) / "bundle", bundle, fs::copy_options::recursive);
  fs::remove(bundle / "variant/versions.json");
  TemporaryHome freshHome;
  HostProcess host(freshHome.path, HostOptions{.bundle = bundle});
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  EXPECT_EQ(page.next()->at("method"), "host/lifecycle/foreground");
  auto log = host.errorOutput();
  EXPECT_NE(log.find("Unable to copy packaged content into place"), std::string::npos) << log;
  EXPECT_EQ(copies(log), 1u);
  EXPECT_EQ(log.find("Finished coping new prepacked content"), std::string::npos) << "only a copy that worked says so";
}

TEST_F(ContentIntegrationTest, ALargeFileStreamsToDiskInBoundedMemory) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host, 300s);
  ASSERT_TRUE(page.connected());
  page.request("p", "/ping");
  ASSERT_EQ(page.nextReply(), reply("p"));
  // Start the peak from here (5 resets the peak resident size to the current one).
  bool reset = static_cast<bool>(std::ofstream("/proc/" + std::to_string(host.pid()) + "/clear_refs") << "5");
  const auto before = statusKiB(host.pid(), "VmRSS");

  page.request("big", "/content/downloadresource", download("t", "videos/big.mp4", "/large"));
  EXPECT_EQ(page.nextReply(), reply("big"));
  const auto peak = statusKiB(host.pid(), "VmHWM");
  const auto file = content() / "t/videos/big.mp4";
  ASSERT_EQ(fs::file_size(file), kLargeSize);
  EXPECT_EQ(hashFile(file), largeHash_.load());
  if (reset && peak > 0) {
    std::printf("host resident memory: %llu KiB before, peak %llu KiB during the 200 MiB download\n",
                static_cast<unsigned long long>(before), static_cast<unsigned long long>(peak));
    // Generous for sanitizer builds; the benchmark holds the real figure.
    EXPECT_LT(peak - std::min(peak, before), 64u * 1024) << "KiB of growth";
  }
}

}  // namespace
}  // namespace kestrom::test

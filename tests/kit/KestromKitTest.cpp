// The kit with a manual main queue on a virtual clock: start-up order, the firmware window, and
// the dispatcher's rows that depend on the delegate. Replies are read by a real page connection.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <pthread.h>

#include "KestromKit/kit/KestromKit.h"
#include "KestromKit/hubs/FirmwareUpdateWindow.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/storage/SettingValueStore.h"
#include "platform/files/AtomicFile.h"
#include "platform/audio/FakeAudioInput.h"
#include "platform/defaults/FakeUserDefaults.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/launcher/FakeLauncher.h"
#include "platform/downloader/FakeDownloader.h"
#include "platform/gamepads/FakeGamepads.h"
#include "platform/launcher/Launcher.h"
#include "platform/shell/FakeDialogs.h"
#include "tests/support/FakeDeviceManager.h"
#include "tests/support/RawHttp.h"
#include "tests/support/WSTestClient.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

// The folders are fixed for the whole process the first time anything asks for them: point them
// at a private home before any test runs.
const std::filesystem::path& privateHome() {
  static const std::filesystem::path home = [] {
    auto pattern = (std::filesystem::temp_directory_path() / "kestrom-kit-XXXXXX").string();
    std::filesystem::path made = mkdtemp(pattern.data());
    setenv("HOME", made.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CACHE_HOME");
    unsetenv("XDG_CONFIG_HOME");
    return made;
  }();
  return home;
}
[[maybe_unused]] const auto& kHome = privateHome();

class RecordingDelegate final : public KestromKitDelegate {
 public:
  void setProjectAvailable(bool available) override { calls.push_back(available ? "show" : "hide"); }
  void setContentViewController(ContentViewController which) override {
    calls.push_back(which == ContentViewController::loading ? "loading" : "webView");
  }
  void languageChanged() override { calls.push_back("languageChanged"); }
  std::filesystem::path variantURL() const override { return bundle() / "variant"; }
  std::filesystem::path contentURL() const override { return bundle() / "variant/content"; }
  std::filesystem::path webURL() const override { return bundle() / "variant/web"; }

  static std::filesystem::path bundle() { return std::filesystem::path(KESTROM_SOURCE_DIR) / "bundle"; }
  std::vector<std::string> calls;  // main queue only
};

// The main queue with a gate: while it is shut, a post from any thread but the test's and the
// WebSocket server's waits in the gate, whatever the poster holds meanwhile. Tasks go on to the
// manual queue behind it.
class GatedQueue final : public dispatch::Queue {
 public:
  explicit GatedQueue(std::shared_ptr<dispatch::ManualQueue> inner)
      : Queue("main"), inner_(std::move(inner)), test_(std::this_thread::get_id()) {}
  ~GatedQueue() override { open(); }

  void open() {
    std::lock_guard lock(mutex_);
    shut_ = false;
    changed_.notify_all();
  }
  /// Waits until a post waits in the gate; false after 20 s.
  bool waitForHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return held_ > 0; });
  }
  /// Posts of the WebSocket server's thread that went through.
  int serverPosts() const {
    std::lock_guard lock(mutex_);
    return serverPosts_;
  }
  bool isCurrent() const override { return inner_->isCurrent(); }

 protected:
  void asyncImpl(dispatch::Task task) override {
    pass();
    inner_->async(std::move(task));
  }
  void asyncAfterImpl(dispatch::Duration delay, dispatch::Task task) override {
    pass();
    inner_->asyncAfter(delay, std::move(task));
  }
  void syncImpl(const dispatch::Task& task) override { inner_->sync(task); }

 private:
  void pass() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::unique_lock lock(mutex_);
    if (std::string_view(name) == "WSServer I/O") {
      ++serverPosts_;
      return;
    }
    if (std::this_thread::get_id() == test_) return;
    ++held_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !shut_; });
  }

  const std::shared_ptr<dispatch::ManualQueue> inner_;
  const std::thread::id test_;
  mutable std::mutex mutex_;  // guards the counts and shut_
  std::condition_variable changed_;
  int held_ = 0;
  int serverPosts_ = 0;
  bool shut_ = true;
};

class KestromKitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch::installMainQueue(main);
    onMain = std::make_unique<dispatch::ManualQueue::Presence>(*main);  // the test plays the main thread
    kit = makeKit();
    ASSERT_TRUE(kit);
  }
  void TearDown() override {
    std::optional<std::filesystem::path> settings;
    if (kit) settings = kit->settingValueStore()->storeFile();
    kit.reset();
    // The last owner may have been one of the kit's threads, which tears it down elsewhere: the
    // next test starts once it is gone.
    EXPECT_TRUE(KestromKit::waitForTeardown(20s));
    // Every test starts from the stored defaults (the language above all), repeated or not.
    if (settings) std::filesystem::remove(*settings);
    onMain.reset();
    dispatch::installMainQueue(nullptr);
  }

  std::shared_ptr<KestromKit> makeKit() {
    auto text = AtomicFile::read(RecordingDelegate::bundle() / "variant/content/appconfig/appconfig.json");
    if (!text) return nullptr;
    KestromKitEnvironment environment;
    environment.launcher = launcher;
    environment.downloader = downloads;
    environment.now = [this] { return 1.8e9 + std::chrono::duration<double>(main->now()).count(); };
    environment.audioInput = audioInput;
    environment.userDefaults = userDefaults;
    environment.gamepads = gamepads;
    environment.dialogServices = std::make_shared<DialogServices>(DialogServices::Options{
        .dialogs = dialogs,
        .bluetoothAlert = [] { return shell::AlertRequest{"Bluetooth is off", "Turn it on", "OK"}; },
        .exportedFileExtensions = [] { return std::vector<std::string>{"kpr"}; },
        .share = {},
        .fileQueue = nullptr,
    });
    environment.makeHubTransports = [this](const HubServiceFactory& factory, bool) {
      usbHubs = std::make_shared<test::FakeDeviceManager>(factory.delegationQueue, HubConnectionType::usb);
      return HubTransports{.usb = usbHubs};
    };
    return KestromKit::create(*text, delegate, {}, PlatformType::macos, std::move(environment));
  }

  /// Drains the main queue until `done` holds or two seconds pass (other threads post into it).
  bool pump(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
      main->runPending();
      if (done()) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  /// A page connected to the kit's WebSocket server.
  std::unique_ptr<test::WSTestClient> connectPage() {
    // The port the server reported as listening, as the web view controller learns it.
    EXPECT_TRUE(pump([&] { return kit->webViewController()->webSocketPort().has_value(); }));
    auto page = std::make_unique<test::WSTestClient>(2s);
    EXPECT_TRUE(page->connect(kit->webViewController()->webSocketPort().value_or(0),
                              {{"Cookie", "kestrom-session=" + kit->sessionSecret()}}));
    return page;
  }

  void request(test::WSTestClient& page, const std::string& id, const std::string& method, Json values = Json::object()) {
    Json frame = {{"id", id}, {"method", method}, {"params", {{"values", std::move(values)}}}, {"jsonrpc", "2.0"}};
    ASSERT_TRUE(page.sendText(frame.dump()));
  }

  /// Runs the main queue until the page has the next frame.
  std::optional<Json> nextFrame(test::WSTestClient& page) {
    std::optional<std::string> text;
    std::atomic<bool> done = false;
    std::thread reader([&] {
      text = page.readText();
      done = true;
    });
    pump([&] { return done.load(); });
    reader.join();
    if (!text) return std::nullopt;
    return Json::parse(*text);
  }

  std::shared_ptr<dispatch::ManualQueue> main = std::make_shared<dispatch::ManualQueue>("main");
  std::unique_ptr<dispatch::ManualQueue::Presence> onMain;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<launcher::RecordingLauncher> launcher = std::make_shared<launcher::RecordingLauncher>();
  std::shared_ptr<downloader::FakeDownloader> downloads = std::make_shared<downloader::FakeDownloader>(main);
  std::shared_ptr<audio::FakeAudioInput> audioInput = std::make_shared<audio::FakeAudioInput>();
  std::shared_ptr<defaults::FakeUserDefaults> userDefaults = std::make_shared<defaults::FakeUserDefaults>();
  std::shared_ptr<gamepads::FakeGamepads> gamepads = std::make_shared<gamepads::FakeGamepads>(main);
  std::shared_ptr<shell::FakeDialogs> dialogs = std::make_shared<shell::FakeDialogs>();
  std::shared_ptr<test::FakeDeviceManager> usbHubs;  // made by the kit through the environment
  std::shared_ptr<KestromKit> kit;
};

TEST_F(KestromKitTest, StartUpShowsLoadingThenTheWebViewThenTellsThePageItIsInFront) {
  auto page = connectPage();
  kit->start();
  ASSERT_TRUE(pump([&] { return delegate->calls.size() >= 2; }));
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"loading", "webView"}));

  // Nothing reaches the page before the delay has passed: a ping answered at 299 ms is the first
  // frame the page sees (frames keep their order on the connection).
  main->advance(299ms);
  request(*page, "early", "/ping");
  auto early = nextFrame(*page);
  ASSERT_TRUE(early);
  EXPECT_EQ(early->value("id", ""), "early") << early->dump();
  main->advance(1ms);
  auto foreground = nextFrame(*page);
  ASSERT_TRUE(foreground);
  EXPECT_EQ(foreground->at("method"), "host/lifecycle/foreground");
  request(*page, "after", "/ping");
  EXPECT_EQ(nextFrame(*page)->value("id", ""), "after") << "the foreground notice goes once";
  // The interface language was chosen and stored at start.
  EXPECT_EQ(kit->currentLanguage(), "en-US");
}

TEST_F(KestromKitTest, TheFirmwareWindowFollowsTheLatestDurationAndClosesOnTheTick) {
  auto page = connectPage();
  request(*page, "1", "/hub/updatingFirmware", {{"expectedDuration", 60}});
  ASSERT_TRUE(nextFrame(*page));
  ASSERT_TRUE(kit->firmwareWindow()->end());
  double first = *kit->firmwareWindow()->end();
  request(*page, "2", "/hub/updatingFirmware", {{"expectedDuration", 5}});
  ASSERT_TRUE(nextFrame(*page));
  ASSERT_TRUE(kit->firmwareWindow()->end());
  EXPECT_NEAR(first - *kit->firmwareWindow()->end(), 55, 0.01);
  main->advance(5s);
  EXPECT_TRUE(kit->firmwareWindow()->end()) << "the tick after the deadline closes it, not the deadline";
  main->advance(1s);
  EXPECT_FALSE(kit->firmwareWindow()->end());
}

TEST_F(KestromKitTest, DelegateRowsAndTheirReplies) {
  auto page = connectPage();
  request(*page, "show", "/menu/showProjectItems");
  EXPECT_EQ(nextFrame(*page)->at("id"), "show");
  request(*page, "move", "/projects/move", {{"projectId", "p1"}});
  EXPECT_EQ(*nextFrame(*page), Json::parse(R"({"id":"move","error":"userCancelled","jsonrpc":"2.0"})"));
  request(*page, "save", "/projects/saveAs", {{"projectId", "p1"}});
  EXPECT_EQ(*nextFrame(*page), Json::parse(R"({"id":"save","result":{},"jsonrpc":"2.0"})"));
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"show"}));
  ASSERT_EQ(dialogs->fileRequests.size(), 2u);
  EXPECT_EQ(dialogs->fileRequests[0].kind, shell::FileDialogRequest::Kind::move);
  EXPECT_EQ(dialogs->fileRequests[1].kind, shell::FileDialogRequest::Kind::save);

  // Links: http, https and mailto reach the desktop; anything else is refused with the fixed text.
  request(*page, "l1", "/content/openlink", {{"link", "https://example.org/help"}});
  EXPECT_EQ(nextFrame(*page)->at("result"), Json::object());
  request(*page, "l2", "/content/openlink", {{"link", "file:///etc/passwd"}});
  EXPECT_EQ(nextFrame(*page)->at("error"), "contentOpenExternalLink: Invalid URL: file:///etc/passwd");
  EXPECT_EQ(launcher->opened, std::vector<std::string>{"https://example.org/help"});

  request(*page, "d1", "/content/downloadresource",
          {{"localPath", "a/b.json"}, {"remoteUrl", "ftp://example.org/x"}, {"tmpId", "t1"}});
  EXPECT_EQ(nextFrame(*page)->at("error"), "contentDownloadResource: Invalid URL: ftp://example.org/x");

  // Methods that are never answered produce no frame: the next frame is the ping's reply.
  request(*page, "r", "/misc/requestrating");
  request(*page, "g", "gamepad/subscribe", {{"targetHz", 30}});
  request(*page, "k", "/python/enablepythonkeyboard");
  request(*page, "p", "/ping");
  EXPECT_EQ(nextFrame(*page)->at("id"), "p");
  EXPECT_TRUE(kit->webViewController()->shouldUsePythonKeyboard());
  ASSERT_TRUE(kit->gamepadService());
}

TEST_F(KestromKitTest, DownloadsGoThroughTheDownloaderTheKitWasGiven) {
  auto page = connectPage();
  request(*page, "d", "/content/downloadresource",
          {{"localPath", "a/b.json"}, {"remoteUrl", "http://127.0.0.1:9/b.json"}, {"tmpId", "t1"}});
  ASSERT_TRUE(pump([&] { return downloads->pending().size() == 1; }));
  auto requested = downloads->requests().front();
  EXPECT_EQ(requested.url, "http://127.0.0.1:9/b.json");
  EXPECT_EQ(requested.destination.filename(), "b.json");
  EXPECT_EQ(requested.destination.parent_path().parent_path().filename(), "t1");
  ASSERT_TRUE(downloads->succeed(requested.id, "{}"));
  EXPECT_EQ(*nextFrame(*page), Json::parse(R"({"id":"d","result":{},"jsonrpc":"2.0"})"));
}

TEST_F(KestromKitTest, HubRequestsReachTheTransportsTheEnvironmentBuiltAndTheirReportsReachThePage) {
  auto page = connectPage();
  ASSERT_TRUE(usbHubs);
  kit->start();  // the hub service becomes the transports' delegate at the end of start-up
  ASSERT_TRUE(pump([&] { return delegate->calls.size() >= 2; }));
  request(*page, "scan", "/hub/startscan", {{"type", "usb"}});
  EXPECT_EQ(*nextFrame(*page), Json::parse(R"({"id":"scan","result":{},"jsonrpc":"2.0"})"));
  EXPECT_EQ(usbHubs->calls(), std::vector<std::string>{"startScan"});

  usbHubs->reportFound("H1", "Kit Hub");
  EXPECT_EQ(*nextFrame(*page), Json::parse(R"({"method":"hub/devicefound","params":{"device":{"id":"H1","name":"Kit Hub",
      "serial":{"productId":2,"vendorId":1684},"type":"usb"}},"jsonrpc":"2.0"})"));
}

TEST_F(KestromKitTest, SelectingAFolderWithoutADialogMakesItAndHandsBackABookmark) {
  auto page = connectPage();
  request(*page, "f", "device/selectFolder",
          {{"interactive", false}, {"initialFolder", "documents"}, {"initialPath", "Robots"}});
  auto reply = nextFrame(*page);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->at("result").at("path").at("name"), "~/Documents/Robots");
  EXPECT_TRUE(std::filesystem::is_directory(privateHome() / "Documents/Robots"));

  request(*page, "bad", "device/selectFolder", {{"interactive", false}, {"initialPath", "../../etc"}});
  EXPECT_EQ(nextFrame(*page)->at("result"), Json::object());
}

TEST_F(KestromKitTest, OlderSettingsAreConvertedBeforeTheSettingsStoreReadsThem) {
  const auto folder = kit->dataFolder();
  const auto settings = kit->settingValueStore()->storeFile();
  std::filesystem::remove(settings);
  std::ofstream(folder / "config.json") << R"({"usersettings":{"ui.language":{"value":"de-DE"},"volume":{"value":3}}})";
  kit->start();
  ASSERT_TRUE(pump([&] { return delegate->calls.size() >= 2; }));
  EXPECT_EQ(kit->currentLanguage(), "de-DE");
  EXPECT_EQ(userDefaults->value("MigrationService.migration"), Json(1));
  auto stored = kit->settingValueStore()->store();
  EXPECT_EQ(stored.at("volume").value, Json(3));
  std::filesystem::remove(folder / "config.json");
  std::filesystem::remove(settings);
}

TEST_F(KestromKitTest, ASettingsSaveThatChangesTheLanguageTellsTheDelegate) {
  auto page = connectPage();
  kit->start();
  ASSERT_TRUE(pump([&] { return delegate->calls.size() >= 2; }));
  auto languageChanges = [&] { return std::count(delegate->calls.begin(), delegate->calls.end(), "languageChanged"); };
  auto save = [&](const std::string& id, Json settings) {
    request(*page, id, "/settings/save", {{"settings", std::move(settings)}});
    auto reply = nextFrame(*page);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->value("id", ""), id);
    EXPECT_EQ(reply->value("result", Json()), Json::object()) << reply->dump();
  };
  save("volume", {{"volume", {{"value", 3}}}});
  EXPECT_EQ(languageChanges(), 0) << "another setting";
  save("german", {{"ui.language", {{"value", "de-DE"}}}});
  ASSERT_TRUE(pump([&] { return languageChanges() == 1; }));
  EXPECT_EQ(kit->currentLanguage(), "de-DE");
  save("same", {{"ui.language", {{"value", "de-DE"}}}});
  save("french", {{"ui.language", {{"value", "fr-FR"}}}, {"volume", {{"value", 4}}}});
  ASSERT_TRUE(pump([&] { return languageChanges() == 2; }));
  EXPECT_EQ(languageChanges(), 2) << "the same language again is no change";
}

TEST_F(KestromKitTest, ARecordingsFilePathServedAtSlashPlusThePathIsItsWAV) {
  auto page = connectPage();
  ASSERT_TRUE(pump([&] { return kit->webViewController()->webServerPort().has_value(); }));
  request(*page, "perm", "/audio/checkrecordingpermission");
  ASSERT_TRUE(nextFrame(*page));
  request(*page, "rec", "/audio/startrecording");
  ASSERT_EQ(nextFrame(*page)->at("result"), Json::object());
  request(*page, "stop", "/audio/stoprecording");
  auto stopped = nextFrame(*page);
  ASSERT_TRUE(stopped);
  const std::string filePath = stopped->at("result").at("filePath");
  ASSERT_FALSE(filePath.empty());
  EXPECT_NE(filePath.front(), '/') << "the file URL without \"file:///\"";

  std::string answer;
  std::thread fetch([&] {
    test::RawHttpConnection http(static_cast<std::uint16_t>(*kit->webViewController()->webServerPort()));
    http.send(test::makeHttpRequest("GET", "/" + filePath, {{"Cookie", "kestrom-session=" + kit->sessionSecret()}}));
    answer = http.readResponse().raw;
  });
  fetch.join();
  auto response = test::parseRawHttpResponse(answer);
  EXPECT_EQ(response.status, 200) << response.statusLine;
  ASSERT_GE(response.body.size(), 44u);
  EXPECT_EQ(response.body.substr(0, 4), "RIFF");
  EXPECT_EQ(response.body.substr(8, 4), "WAVE");
}

TEST_F(KestromKitTest, AHandedOverFileThatIsNoProjectSaysWhy) {
  const auto file = privateHome() / "notes.kpr";
  std::ofstream(file) << "just some notes\n";
  std::optional<Expected<void, std::string>> opened;
  EXPECT_TRUE(kit->openProject(file, [&](const Expected<void, std::string>& result) { opened = result; }));
  ASSERT_TRUE(pump([&] { return opened.has_value(); }));
  ASSERT_FALSE(*opened);
  EXPECT_EQ(opened->error(), "It is not a project file.");

  // A folder is refused at once, and told the same way.
  opened.reset();
  EXPECT_FALSE(kit->openProject(privateHome(), [&](const Expected<void, std::string>& result) { opened = result; }));
  ASSERT_TRUE(pump([&] { return opened.has_value(); }));
  ASSERT_FALSE(*opened);
  EXPECT_EQ(opened->error(), "It is not a file.");
  std::filesystem::remove(file);
}

TEST_F(KestromKitTest, AudioAndGamepadRowsReachTheirServicesOverTheGivenBackends) {
  auto page = connectPage();
  request(*page, "perm", "/audio/checkrecordingpermission");
  EXPECT_EQ(*nextFrame(*page), Json::parse(R"({"id":"perm","result":{"granted":true},"jsonrpc":"2.0"})"));
  request(*page, "rec", "/audio/startrecording");
  EXPECT_EQ(nextFrame(*page)->at("result"), Json::object());
  EXPECT_TRUE(audioInput->isRecording());
  request(*page, "stop", "/audio/stoprecording");
  auto stopped = nextFrame(*page);
  ASSERT_TRUE(stopped);
  const std::filesystem::path file = "/" + stopped->at("result").at("filePath").get<std::string>();
  EXPECT_TRUE(std::filesystem::is_regular_file(file));

  request(*page, "g0", "gamepad/subscribe", {{"targetHz", 0}});
  auto zero = nextFrame(*page);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->at("id"), "g0") << "a rate that is no rate is refused with an error";
  EXPECT_TRUE(zero->contains("error"));
  request(*page, "g0", "gamepad/subscribe", {{"targetHz", 1e-300}});
  EXPECT_EQ(*nextFrame(*page), *zero) << "a rate too small for the timer: the same refusal";
  EXPECT_FALSE(kit->gamepadService());
  EXPECT_EQ(main->pendingCount(), 0u) << "no timer left spinning";
  gamepads::GamepadState pad;
  pad.info = {5, "Pad", 1, 2};
  gamepads->connect(pad);
  request(*page, "g1", "gamepad/subscribe", {{"targetHz", 30}});
  auto connected = nextFrame(*page);
  ASSERT_TRUE(connected);
  EXPECT_EQ(*connected, Json::parse(R"({"method":"gamepad/connected","params":{"id":"Pad"},"jsonrpc":"2.0"})"));
  ASSERT_TRUE(kit->gamepadService());
}

TEST_F(KestromKitTest, ProjectAndFolderDialogsRunThroughTheGivenDialogs) {
  auto page = connectPage();
  dialogs->answerNext(privateHome() / "Chosen/Robot.kpr");
  request(*page, "save", "/projects/saveAs", {{"projectId", "p1"}});
  EXPECT_EQ(nextFrame(*page)->at("result").at("filePath"), (privateHome() / "Chosen/Robot.kpr").string());
  ASSERT_EQ(dialogs->fileRequests.size(), 1u);
  EXPECT_EQ(dialogs->fileRequests[0].kind, shell::FileDialogRequest::Kind::save);
  EXPECT_EQ(dialogs->fileRequests[0].allowedExtensions, std::vector<std::string>{"kpr"});

  request(*page, "move", "/projects/move", {{"projectId", "p1"}});  // nothing scripted: cancelled
  EXPECT_EQ(*nextFrame(*page), Json::parse(R"({"id":"move","error":"userCancelled","jsonrpc":"2.0"})"));
  EXPECT_EQ(dialogs->fileRequests.at(1).kind, shell::FileDialogRequest::Kind::move);

  dialogs->answerNext(privateHome() / "Documents/Elsewhere");
  request(*page, "f", "device/selectFolder", {{"interactive", true}, {"initialFolder", "documents"}});
  EXPECT_EQ(nextFrame(*page)->at("result").at("path").at("name"), "~/Documents/Elsewhere");
  EXPECT_EQ(dialogs->fileRequests.at(2).kind, shell::FileDialogRequest::Kind::selectFolder);
  EXPECT_EQ(dialogs->fileRequests.at(2).initialFolder, privateHome() / "Documents");

  request(*page, "f2", "device/selectFolder", {{"interactive", true}, {"initialFolder", "documents"}});
  EXPECT_EQ(nextFrame(*page)->at("result"), Json::object()) << "cancelled: no folder";
}

// The web server tells the kit its port on its own run-loop thread, holding the kit for the call.
// When the application lets go of the kit meanwhile, that thread is its last owner: the teardown
// stops the web server and joins its threads, which it cannot do on one of them.
TEST_F(KestromKitTest, AKitLetGoOfWhileTheWebServerReportsItsPortIsTornDownElsewhere) {
  kit.reset();
  ASSERT_TRUE(KestromKit::waitForTeardown(20s));
  auto gate = std::make_shared<GatedQueue>(main);
  dispatch::installMainQueue(gate);
  kit = makeKit();
  ASSERT_TRUE(kit);
  // The run loop waits in the gate inside webServerDidStart, the WebSocket server's report has
  // passed, and nothing else holds the kit but the run loop and this test.
  ASSERT_TRUE(gate->waitForHeld());
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while ((gate->serverPosts() == 0 || kit.use_count() != 2) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(kit.use_count(), 2);
  std::weak_ptr<KestromKit> watched = kit;
  kit.reset();
  gate->open();
  EXPECT_TRUE(KestromKit::waitForTeardown(20s));
  EXPECT_TRUE(watched.expired());
  dispatch::installMainQueue(main);
}

}  // namespace
}  // namespace kestrom

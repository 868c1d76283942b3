// The kit with a manual main queue on a virtual clock: start-up order, the firmware window, and
// the dispatcher's rows that depend on the delegate. Replies are read by a real page connection.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <atomic>
#include <thread>

#include "KestromKit/kit/KestromKit.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/base/AtomicFile.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/launcher/Launcher.h"
#include "tests/support/FakeDeviceManager.h"
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
  void presentDialog(KestromDialogType, std::function<void(DialogResult)> completion) override {
    calls.push_back("dialog");
    completion(makeUnexpected(std::string("cancelled")));
  }
  void showAlert(KestromAlert, std::function<void()>) override { calls.push_back("alert"); }
  void setContentViewController(ContentViewController which) override {
    calls.push_back(which == ContentViewController::loading ? "loading" : "webView");
  }
  void share(std::vector<std::filesystem::path>) override { calls.push_back("share"); }
  void selectMoveDestination(std::function<void(DialogResult)> completion) override {
    calls.push_back("move");
    completion(makeUnexpected(std::string("cancelled")));
  }
  void saveFile(std::filesystem::path, std::function<void(Expected<void, SaveError>)> completion) override {
    completion(makeUnexpected(SaveError::userCancelled));
  }
  void openFile(std::vector<std::string>, std::function<void(Expected<OpenedFile, LoadError>)> completion) override {
    completion(makeUnexpected(LoadError::userCancelled));
  }
  void languageChanged() override { calls.push_back("languageChanged"); }
  std::filesystem::path variantURL() const override { return bundle() / "variant"; }
  std::filesystem::path contentURL() const override { return bundle() / "variant/content"; }
  std::filesystem::path webURL() const override { return bundle() / "variant/web"; }

  static std::filesystem::path bundle() { return std::filesystem::path(KESTROM_SOURCE_DIR) / "bundle"; }
  std::vector<std::string> calls;  // main queue only
};

class KestromKitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch::installMainQueue(main);
    auto text = AtomicFile::read(RecordingDelegate::bundle() / "variant/content/appconfig/appconfig.json");
    ASSERT_TRUE(text);
    KestromKitEnvironment environment;
    environment.launcher = launcher;
    environment.now = [this] { return 1.8e9 + std::chrono::duration<double>(main->now()).count(); };
    environment.makeHubTransports = [this](const HubServiceFactory& factory, bool) {
      usbHubs = std::make_shared<test::FakeDeviceManager>(factory.delegationQueue, HubConnectionType::usb);
      return HubTransports{.usb = usbHubs};
    };
    kit = KestromKit::create(*text, delegate, {}, PlatformType::macos, std::move(environment));
  }
  void TearDown() override {
    kit.reset();
    dispatch::installMainQueue(nullptr);
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
    EXPECT_TRUE(page->connect(kit->webViewController()->webSocketPort().value_or(0)));
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
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<launcher::RecordingLauncher> launcher = std::make_shared<launcher::RecordingLauncher>();
  std::shared_ptr<test::FakeDeviceManager> usbHubs;  // made by the kit through the environment
  std::shared_ptr<KestromKit> kit;
};

TEST_F(KestromKitTest, StartUpShowsLoadingThenTheWebViewThenTellsThePageItIsInFront) {
  auto page = connectPage();
  kit->start();
  ASSERT_TRUE(pump([&] { return delegate->calls.size() >= 2; }));
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"loading", "webView"}));

  main->advance(299ms);
  main->advance(1ms);
  auto foreground = nextFrame(*page);
  ASSERT_TRUE(foreground);
  EXPECT_EQ(foreground->at("method"), "host/lifecycle/foreground");
  // The interface language was chosen and stored at start.
  EXPECT_EQ(kit->currentLanguage(), "en-US");
}

TEST_F(KestromKitTest, TheFirmwareWindowFollowsTheLatestDurationAndClosesOnTheTick) {
  auto page = connectPage();
  request(*page, "1", "/hub/updatingFirmware", {{"expectedDuration", 60}});
  ASSERT_TRUE(nextFrame(*page));
  ASSERT_TRUE(kit->firmwareWindowEnd());
  double first = *kit->firmwareWindowEnd();
  request(*page, "2", "/hub/updatingFirmware", {{"expectedDuration", 5}});
  ASSERT_TRUE(nextFrame(*page));
  ASSERT_TRUE(kit->firmwareWindowEnd());
  EXPECT_NEAR(first - *kit->firmwareWindowEnd(), 55, 0.01);
  main->advance(5s);
  EXPECT_TRUE(kit->firmwareWindowEnd()) << "the tick after the deadline closes it, not the deadline";
  main->advance(1s);
  EXPECT_FALSE(kit->firmwareWindowEnd());
}

TEST_F(KestromKitTest, DelegateRowsAndTheirReplies) {
  auto page = connectPage();
  request(*page, "show", "/menu/showProjectItems");
  EXPECT_EQ(nextFrame(*page)->at("id"), "show");
  request(*page, "move", "/projects/move", {{"projectId", "p1"}});
  EXPECT_EQ(*nextFrame(*page), Json::parse(R"({"id":"move","error":"cancelled","jsonrpc":"2.0"})"));
  request(*page, "save", "/projects/saveAs", {{"projectId", "p1"}});
  EXPECT_EQ(*nextFrame(*page), Json::parse(R"({"id":"save","result":{},"jsonrpc":"2.0"})"));
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"show", "move", "dialog"}));

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

}  // namespace
}  // namespace kestrom

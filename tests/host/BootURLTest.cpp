#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "KestromKit/host/ConsoleMessageHandlers.h"
#include "KestromKit/host/WebViewController.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"

namespace kestrom {
namespace {

BootSettings settings(std::string appId = "app", std::string language = "en", std::string fullVersion = "1.0") {
  return BootSettings{std::move(appId), std::move(fullVersion),
                      [language] { return language; }, [] { return false; }};
}

// The query of `url` as (name, raw value) pairs in order.
std::vector<std::pair<std::string, std::string>> queryItems(const std::string& url) {
  std::vector<std::pair<std::string, std::string>> items;
  auto query = url.substr(url.find('?') + 1);
  std::size_t start = 0;
  while (start < query.size()) {
    auto end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    auto item = query.substr(start, end - start);
    auto equals = item.find('=');
    items.emplace_back(item.substr(0, equals), equals == std::string::npos ? "" : item.substr(equals + 1));
    start = end + 1;
  }
  return items;
}

TEST(BootURLTest, MatchesTheDocumentedExample) {
  EXPECT_EQ(bootURL(settings(), "localhost", 8080, "localhost", 9000, false, "http://localhost:8080/debug"),
            "http://localhost:8080/?appId=app&defaultLanguage=en&webUrl=http://localhost:8080&wsUrl=ws://localhost:9000"
            "&sentryEnabled=0&fullVersion=1.0&debugUrl=http://localhost:8080/debug");
}

TEST(BootURLTest, HasSixItemsWithoutADebugURLAndSevenWithItLast) {
  auto plain = queryItems(bootURL(settings(), "localhost", 8080, "localhost", 9000, true, std::nullopt));
  std::vector<std::string> names;
  for (const auto& [name, value] : plain) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"appId", "defaultLanguage", "webUrl", "wsUrl", "sentryEnabled", "fullVersion"}));
  EXPECT_EQ(plain[4].second, "1");

  auto debug = queryItems(bootURL(settings(), "localhost", 8080, "localhost", 9000, false, "http://x/debug"));
  ASSERT_EQ(debug.size(), 7u);
  EXPECT_EQ(debug.back().first, "debugUrl");
  EXPECT_EQ(debug[4].second, "0");
}

TEST(BootURLTest, EscapesValuesSoNoneCanSplitOrEndTheQuery) {
  auto url = bootURL(settings("a&b=c", "de DE#x", "1.0 (2)+ü"), "localhost", 8080, "localhost", 9000, false,
                     std::nullopt);
  auto items = queryItems(url);
  ASSERT_EQ(items.size(), 6u) << url;
  EXPECT_EQ(items[0].second, "a%26b%3Dc");
  EXPECT_EQ(items[1].second, "de%20DE%23x");
  EXPECT_EQ(items[5].second, "1.0%20(2)%2B%C3%BC");
  EXPECT_EQ(url.find('#'), std::string::npos);
  EXPECT_EQ(url.find(' '), std::string::npos);
}

// A web view stack that records what the controller asks of it and lets the test fire its events.
class RecordingWebView final : public webview::WebView {
 public:
  void setEvents(Events events) override { events_ = std::move(events); }
  bool loadSplash(const std::string& html, const std::filesystem::path&) override {
    splashHTML = html;
    return true;
  }
  void revealSplash(std::function<void()> done) override { revealDone = std::move(done); }
  void hideSplash(std::function<void()> done) override { hideDone = std::move(done); }
  void loadPage(const std::string& url) override { pages.push_back(url); }
  void reload() override { ++reloads; }
  void clipboardText(std::function<void(std::optional<std::string>)> completion) override { completion(std::nullopt); }

  Events events_;
  std::string splashHTML;
  std::function<void()> revealDone;
  std::function<void()> hideDone;
  std::vector<std::string> pages;
  int reloads = 0;
};

class NoPanels final : public WebViewControllerDelegate {
 public:
  void saveFile(std::filesystem::path, std::function<void(Expected<void, SaveError>)>) override {}
  void openFile(std::vector<std::string>, std::function<void(Expected<OpenedFile, LoadError>)>) override {}
};

std::filesystem::path bundleWebFolder() {
  const char* dir = std::getenv("KESTROM_BUNDLE_DIR");
  return std::filesystem::path(dir ? dir : "bundle") / "variant" / "web";
}

class NoWriter final : public LogWriter {
 public:
  void write(const std::string&) override {}
};

class WebViewControllerBootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = std::make_shared<dispatch::ManualQueue>("main");
    dispatch::installMainQueue(queue_);
  }
  void TearDown() override { dispatch::installMainQueue(nullptr); }

  std::shared_ptr<WebViewController> make(LocalConfig local = {}, std::optional<std::string> consoleScript = {},
                                          BootSettings boot = settings()) {
    auto factory = [this](webview::WebViewConfiguration configuration) {
      configuration_ = configuration;
      return std::static_pointer_cast<webview::WebView>(view_);
    };
    return std::make_shared<WebViewController>(std::move(boot), nullptr, factory, local, bundleWebFolder(), delegate_,
                                               LogWriterLevel::error(std::make_shared<NoWriter>()), consoleScript);
  }

  /// Both ports known, then the view shown and its splash faded in: the page may load.
  void showWithBothPorts(WebViewController& controller, std::int32_t httpPort = 8080, unsigned wsPort = 9000) {
    controller.setWebServerPort(httpPort);
    controller.setWebSocketPort(wsPort);
    queue_->sync([&] { controller.viewDidLoad(); });  // the view shows on the main queue
    view_->events_.splashFinished();
    view_->revealDone();
    queue_->runPending();
  }

  log::ScopedRecording recording_;  // the boot URLs are logged at error level; keep them out of the output
  std::shared_ptr<dispatch::ManualQueue> queue_;
  std::shared_ptr<RecordingWebView> view_ = std::make_shared<RecordingWebView>();
  std::shared_ptr<NoPanels> delegate_ = std::make_shared<NoPanels>();
  webview::WebViewConfiguration configuration_;
};

TEST_F(WebViewControllerBootTest, LoadsTheBootURLOnlyOnceTheSplashIsUpAndBothPortsAreKnown) {
  auto controller = make();
  controller->setWebServerPort(8080);
  controller->boot();
  queue_->sync([&] { controller->viewDidLoad(); });  // the view shows on the main queue
  queue_->runPending();
  EXPECT_NE(view_->splashHTML.find("<html"), std::string::npos);
  EXPECT_TRUE(view_->pages.empty()) << "one port and the splash still loading";

  controller->setWebSocketPort(9000);
  controller->boot();
  queue_->runPending();
  EXPECT_TRUE(view_->pages.empty()) << "both ports, but the splash has not faded in";

  view_->events_.splashFinished();
  ASSERT_TRUE(view_->revealDone);
  view_->revealDone();
  queue_->runPending();
  ASSERT_EQ(view_->pages.size(), 1u);
  EXPECT_EQ(view_->pages[0].rfind("http://localhost:8080/?appId=app&", 0), 0u) << view_->pages[0];
  EXPECT_NE(view_->pages[0].find("&debugUrl=http://localhost:8080/debug"), std::string::npos);
  auto redirect = debugRedirectURL();
  EXPECT_EQ(redirect.find("debugUrl"), std::string::npos);
  EXPECT_EQ(redirect.rfind("http://localhost:8080/?appId=app&", 0), 0u);

  // The page finishes: 0.2 s later the splash fades out and the page counts as loaded.
  view_->events_.pageFinished();
  queue_->advance(std::chrono::milliseconds(199));
  EXPECT_FALSE(view_->hideDone);
  queue_->advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(view_->hideDone);
  view_->hideDone();
  EXPECT_TRUE(controller->isLoaded());

  // The same ports again load nothing; a changed port loads the page once more.
  controller->boot();
  queue_->runPending();
  EXPECT_EQ(view_->pages.size(), 1u);
  controller->setWebSocketPort(9001);
  EXPECT_FALSE(controller->isLoaded());
  controller->boot();
  queue_->runPending();
  ASSERT_EQ(view_->pages.size(), 2u);
  EXPECT_NE(view_->pages[1].find("wsUrl=ws://localhost:9001"), std::string::npos);
}

TEST_F(WebViewControllerBootTest, AFailedLoadKeepsTheSplashAndLoadsAgainWhenAPortIsReportedAnew) {
  auto controller = make();
  showWithBothPorts(*controller);
  ASSERT_EQ(view_->pages.size(), 1u);

  // The page server refused: the failure is logged, the splash stays, nothing counts as loaded.
  view_->events_.pageFailed(view_->pages[0], "Could not connect: Connection refused");
  queue_->advance(std::chrono::seconds(1));
  EXPECT_FALSE(view_->hideDone) << "the splash must stay after a failed load";
  EXPECT_FALSE(controller->isLoaded());
  bool logged = false;
  for (const auto& record : recording_.sink().records()) {
    logged = logged || (record.level == log::Level::error &&
                        record.message.find("Connection refused") != std::string::npos);
  }
  EXPECT_TRUE(logged);

  // The server reports its port again (the same one): the page loads once more and, finished, shows.
  controller->setWebServerPort(8080);
  controller->boot();
  queue_->runPending();
  ASSERT_EQ(view_->pages.size(), 2u);
  view_->events_.pageFinished();
  queue_->advance(std::chrono::milliseconds(200));
  ASSERT_TRUE(view_->hideDone);
  view_->hideDone();
  EXPECT_TRUE(controller->isLoaded());
}

TEST_F(WebViewControllerBootTest, NeitherTheLogNorThePageGetsTheDebugCode) {
  const std::string code = "0123456789abcdef0123456789abcdef";
  auto boot = settings();
  boot.debugCode = [code] { return code; };
  auto controller = make(LocalConfig{}, std::nullopt, boot);
  showWithBothPorts(*controller);
  const std::string expected =
      bootURL(settings(), "localhost", 8080, "localhost", 9000, false, "http://localhost:8080/debug");
  EXPECT_EQ(view_->pages, std::vector<std::string>{expected});

  // Both addresses are information: a healthy start logs no error.
  std::vector<std::string> infos;
  for (const auto& record : recording_.sink().records()) {
    EXPECT_EQ(record.message.find(code), std::string::npos) << record.message;
    EXPECT_LT(record.level, log::Level::error) << record.message;
    if (record.level == log::Level::info) infos.push_back(record.message);
  }
  auto logged = [&](const std::string& line) { return std::find(infos.begin(), infos.end(), line) != infos.end(); };
  EXPECT_TRUE(logged("Debug URL: http://localhost:8080/debug"));
  EXPECT_TRUE(logged("Boot URL: " + expected));
}

TEST_F(WebViewControllerBootTest, ARunHeadlessBundleBuildsTheURLButNeverLoadsIt) {
  LocalConfig local;
  local.runHeadless = true;
  auto controller = make(local);
  showWithBothPorts(*controller, 8123, 9123);
  EXPECT_TRUE(view_->pages.empty());
  EXPECT_EQ(debugRedirectURL().rfind("http://localhost:8123/?", 0), 0u);
}

TEST_F(WebViewControllerBootTest, HandsTheConsoleChannelsToTheWebViewOnlyWithAConsoleScript) {
  make(LocalConfig{}, std::string("/* console */"));
  ASSERT_EQ(configuration_.messageHandlers.size(), 2u);
  EXPECT_EQ(configuration_.userScripts.back().source, "/* console */");
  make();
  EXPECT_TRUE(configuration_.messageHandlers.empty());
}

TEST(LocalConfigTest, ReadsTheSampleBundlesPropertyListAndDefaultsWithoutIt) {
  const char* dir = std::getenv("KESTROM_BUNDLE_DIR");
  if (!dir) GTEST_SKIP() << "KESTROM_BUNDLE_DIR not set";
  auto sample = LocalConfig::read(std::filesystem::path(dir) / "KestromKit.plist");
  EXPECT_EQ(sample.localIP, "localhost");
  EXPECT_EQ(sample.runHeadless, false);
  auto missing = LocalConfig::read(std::filesystem::path(dir) / "no-such.plist");
  EXPECT_EQ(missing.localIP, "localhost");
  EXPECT_FALSE(missing.runHeadless.value_or(false));
}

}  // namespace
}  // namespace kestrom

#include "KestromKit/host/WebViewController.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/host/ConsoleMessageHandlers.h"
#include "KestromKit/base/Constants.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/log/Fatal.h"
#include "platform/webview/NullWebView.h"

namespace kestrom {

namespace {

std::mutex& debugURLMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& debugURLStorage() {
  static std::string url;
  return url;
}

// Escapes a query value: everything but the characters a query may carry literally. '&', '=',
// '+' and '#' are escaped too, so a value can never split or end the query.
std::string escapeQueryValue(const std::string& value) {
  static constexpr std::string_view kLiteral = "-._~:/?@!$'()*,;";
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    if (std::isalnum(c) || kLiteral.find(static_cast<char>(c)) != std::string_view::npos) {
      out += static_cast<char>(c);
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// A developer who wants to open the page in another browser sets KESTROM_PRINT_DEBUG_URL=1 and
// reads the live debug URL, one-time code included, on standard output.
bool printsDebugURL() {
  const char* value = std::getenv("KESTROM_PRINT_DEBUG_URL");
  return value && std::string_view(value) == "1";
}

}  // namespace

std::string debugRedirectURL() {
  std::lock_guard lock(debugURLMutex());
  return debugURLStorage();
}

std::string bootURL(const BootSettings& settings, const std::string& host, std::int32_t webServerPort,
                    const std::string& queryHost, unsigned webSocketPort, bool sentryEnabled,
                    const std::optional<std::string>& debugURL) {
  if (host.empty() || webServerPort <= 0) log::fatalError("KestromKit/WebViewController", "URL components are malformed");
  std::ostringstream url;
  url << "http://" << host << ':' << webServerPort << "/?";
  auto item = [&url](const char* name, const std::string& value, bool first = false) {
    if (!first) url << '&';
    url << name << '=' << escapeQueryValue(value);
  };
  item("appId", settings.appId, true);
  item("defaultLanguage", settings.defaultLanguage ? settings.defaultLanguage() : std::string());
  item("webUrl", "http://" + queryHost + ":" + std::to_string(webServerPort));
  item("wsUrl", "ws://" + queryHost + ":" + std::to_string(webSocketPort));
  item("sentryEnabled", sentryEnabled ? "1" : "0");
  item("fullVersion", settings.fullVersion);
  if (debugURL) item("debugUrl", *debugURL);
  return url.str();
}

WebViewController::WebViewController(BootSettings boot, std::shared_ptr<RPCInterface> interface,
                                     const WebViewFactory& makeWebView, LocalConfig localConfig,
                                     std::filesystem::path webURL, std::weak_ptr<WebViewControllerDelegate> delegate,
                                     const LogWriterLevel& logLevel, const std::optional<std::string>& consoleScript)
    : bootSettings_(std::move(boot)),
      interface_(std::move(interface)),
      localConfig_(std::move(localConfig)),
      webURL_(std::move(webURL)),
      delegate_(std::move(delegate)) {
  auto configuration = makeWebViewConfiguration(consoleScript, logLevel);
  if (!bootSettings_.sessionSecret.empty())
    configuration.sessionCookie = webview::Cookie{"kestrom-session", bootSettings_.sessionSecret, "localhost"};
  webView_ = makeWebView ? makeWebView(std::move(configuration)) : nullptr;
  if (!webView_) webView_ = std::make_shared<webview::NullWebView>();
}

void WebViewController::viewDidLoad() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!webView_) return;
  std::weak_ptr<WebViewController> weak = weak_from_this();
  webView_->setEvents({
      .splashFinished =
          [weak] {
            auto self = weak.lock();
            if (!self) return;
            self->webView_->revealSplash([weak] {
              if (auto self = weak.lock()) {
                self->isLaunching_ = false;
                self->boot();
              }
            });
          },
      .pageFinished =
          [weak] {
            auto self = weak.lock();
            if (!self) return;
            dispatch::mainQueue()->asyncAfter(std::chrono::milliseconds(200), [weak] {
              auto self = weak.lock();
              if (!self) return;
              self->webView_->hideSplash([weak] {
                if (auto self = weak.lock()) self->isLoaded_ = true;
              });
            });
          },
      .pageFailed =
          [weak](const std::string& uri, const std::string& message) {
            // The splash stays and the page counts as not loaded: the next time a server reports
            // its port, boot() loads the page again.
            if (auto self = weak.lock()) self->didFailNavigation(uri, message);
          },
      .fileDropped =
          [weak](const std::filesystem::path& file) {
            auto self = weak.lock();
            if (!self) return false;
            auto fileDelegate = self->fileDelegate_.lock();
            return fileDelegate && fileDelegate->openDroppedFile(file);
          },
  });
  viewLoaded_ = true;
  isLaunching_ = loadSplash();
  boot();
}

void WebViewController::didFailNavigation(const std::string& uri, const std::string& message) {
  isLoaded_ = false;
  Constants::log().webView.error("Could not load %s: %s", uri.empty() ? std::string("the page") : uri, message);
}

bool WebViewController::loadSplash() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (webURL_.empty()) log::fatalError("KestromKit/WebViewController", "Could not get contents of splash.html, check variant/web directory");
  auto splash = webURL_ / "splash.html";
  std::ifstream in(splash, std::ios::binary);
  if (!in) log::fatalError("KestromKit/WebViewController", "Could not get contents of splash.html, check variant/web directory");
  std::stringstream text;
  text << in.rdbuf();
  return webView_->loadSplash(text.str(), splash.parent_path());
}

void WebViewController::boot() {
  std::optional<std::int32_t> serverPort;
  std::optional<unsigned> socketPort;
  {
    std::lock_guard lock(portsMutex_);
    serverPort = webServerPort_;
    socketPort = webSocketPort_;
  }
  if (!serverPort || !socketPort || isLaunching_) return;
  auto url = bootURLWithDebug(*socketPort, *serverPort);
  if (localConfig_.runHeadless.value_or(false)) return;
  std::weak_ptr<WebViewController> weak = weak_from_this();
  dispatch::mainQueue()->async([weak, url] {
    if (auto self = weak.lock()) self->load(url);
  });
}

void WebViewController::load(const std::string& url) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!viewLoaded_ || isLoaded_) return;
  Constants::log().webView.debug("Loading web view with url: %s", url);
  if (webView_) webView_->loadPage(url);
}

std::string WebViewController::bootURLWithDebug(unsigned webSocketPort, std::int32_t webServerPort) {
  bool sentry = bootSettings_.sentryEnabled && bootSettings_.sentryEnabled();
  auto plain = bootURL(bootSettings_, "localhost", webServerPort, "localhost", webSocketPort, sentry, std::nullopt);
  {
    std::lock_guard lock(debugURLMutex());
    debugURLStorage() = plain;
  }
  auto debugURL = "http://localhost:" + std::to_string(webServerPort) + "/debug";
  auto url = bootURL(bootSettings_, "localhost", webServerPort, "localhost", webSocketPort, sentry, debugURL);
  Constants::log().webView.info("Debug URL: %s", debugURL);
  Constants::log().webView.info("Boot URL: %s", url);
  // The one-time code lets whoever reads it into the page, so neither the log nor the page's URL
  // (which the web view logs as it navigates) holds it.
  if (auto code = bootSettings_.debugCode ? bootSettings_.debugCode() : std::string(); !code.empty() && printsDebugURL()) {
    std::printf("Debug URL: %s?code=%s\n", debugURL.c_str(), code.c_str());
    std::fflush(stdout);
  }
  return url;
}

void WebViewController::setWebServerPort(std::int32_t port) {
  std::lock_guard lock(portsMutex_);
  if (webServerPort_ != port) isLoaded_ = false;
  webServerPort_ = port;
}

void WebViewController::setWebSocketPort(unsigned port) {
  std::lock_guard lock(portsMutex_);
  if (webSocketPort_ != port) isLoaded_ = false;
  webSocketPort_ = port;
}

std::optional<std::int32_t> WebViewController::webServerPort() const {
  std::lock_guard lock(portsMutex_);
  return webServerPort_;
}

std::optional<unsigned> WebViewController::webSocketPort() const {
  std::lock_guard lock(portsMutex_);
  return webSocketPort_;
}

void WebViewController::reload() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (webView_) webView_->reload();
}

void WebViewController::triggerPaste() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!webView_) return;
  webView_->clipboardText([interface = interface_](std::optional<std::string> text) {
    if (!text || !interface) return;
    interface->send(RPCMessage(
        RPC::Notification::make<RPC::Notification::Case::pythonPaste>(RPCNotifyPythonPasteParams{*text})));
  });
}

void WebViewController::openFileForWebServer(std::vector<std::string> fileTypes,
                                             std::function<void(Expected<OpenedFile, LoadError>)> completion) {
  dispatch::mainQueue()->async([delegate = delegate_, fileTypes = std::move(fileTypes),
                                completion = std::move(completion)]() mutable {
    if (auto strong = delegate.lock()) strong->openFile(std::move(fileTypes), std::move(completion));
  });
}

void WebViewController::saveFileForWebServer(std::filesystem::path source,
                                             std::function<void(Expected<void, SaveError>)> completion) {
  dispatch::mainQueue()->async([delegate = delegate_, source = std::move(source),
                                completion = std::move(completion)]() mutable {
    if (auto strong = delegate.lock()) strong->saveFile(std::move(source), std::move(completion));
  });
}

}  // namespace kestrom

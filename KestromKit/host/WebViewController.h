#pragma once
// Shows the web application: the splash first, then, once both server ports are known and the
// splash is up, the boot URL that points the page at the local HTTP and WebSocket servers. Also
// carries the main-queue hops of the "/files/load" and "/files/saveAs" routes and the paste of
// "/python/triggerpaste". Home queue: main (the file hops are called from HTTP workers and hop).
// Owned by the kit; the window shows its web view stack.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "KestromKit/host/LocalConfig.h"
#include "KestromKit/host/WebViewControllerDelegate.h"
#include "KestromKit/host/WebViewControllerFileDelegate.h"
#include "KestromKit/server/WebServerFileDelegate.h"
#include "KestromKit/host/LogWriter.h"
#include "KestromKit/model/Coding.h"
#include "platform/webview/WebView.h"
#include "platform/webview/WebViewConfiguration.h"

namespace kestrom {

class RPCInterface;

/// The boot URL's inputs that do not change while the host runs.
struct BootSettings {
  std::string appId;
  std::string fullVersion;
  std::function<std::string()> defaultLanguage;  // the configuration handler's, read at each boot
  std::function<bool()> sentryEnabled;           // the kit's decision, read at each boot
  /// The per-launch secret both servers ask of every request: the web view gets it as the cookie
  /// "kestrom-session" for "localhost" before the page first loads. None when empty.
  std::string sessionSecret;
  /// The current one-time code of "/debug": printed with the debug address on standard output
  /// when KESTROM_PRINT_DEBUG_URL=1 asks for it, never logged or put into the boot URL. None when empty.
  std::function<std::string()> debugCode;
};

/// The process-wide boot URL without its "debugUrl" item; "/debug" redirects to it.
std::string debugRedirectURL();

/// Builds the boot URL: http://HOST:PORT/?appId=…&defaultLanguage=…&webUrl=…&wsUrl=…&sentryEnabled=…
/// &fullVersion=…[&debugUrl=…], every value percent-escaped as a query value.
std::string bootURL(const BootSettings& settings, const std::string& host, std::int32_t webServerPort,
                    const std::string& queryHost, unsigned webSocketPort, bool sentryEnabled,
                    const std::optional<std::string>& debugURL);

/// Makes the window's web view stack with the page's scripts and console channels; the desktop
/// application passes the WebKitGTK one. Empty: a NullWebView (no window).
using WebViewFactory = std::function<std::shared_ptr<webview::WebView>(webview::WebViewConfiguration)>;

class WebViewController final : public WebServerFileDelegate,
                                public std::enable_shared_from_this<WebViewController> {
 public:
  /// `consoleScript` is the text of "override-console.js"; without it the page's console is not
  /// forwarded to the file log.
  /// `webURL` is the web application's folder (its "splash.html"); `delegate` runs the file panels.
  WebViewController(BootSettings boot, std::shared_ptr<RPCInterface> interface, const WebViewFactory& makeWebView,
                    LocalConfig localConfig, std::filesystem::path webURL,
                    std::weak_ptr<WebViewControllerDelegate> delegate, const LogWriterLevel& logLevel,
                    const std::optional<std::string>& consoleScript);

  /// Loads the splash page and then the page; call once on the main queue when the view shows.
  void viewDidLoad();
  /// Loads the boot URL when both ports are known and the splash is up. Any thread.
  void boot();
  /// Records a server port; a changed port lets the page load again. Main queue.
  void setWebServerPort(std::int32_t port);
  void setWebSocketPort(unsigned port);
  void reload();
  void triggerPaste();

  /// For "/files/load" on an HTTP worker: asks the delegate on the main queue; `completion` runs
  /// once, on the main queue. Nothing happens without a delegate.
  void openFileForWebServer(std::vector<std::string> fileTypes,
                            std::function<void(Expected<OpenedFile, LoadError>)> completion) override;
  /// For "/files/saveAs" on an HTTP worker: as above for saving `source`.
  void saveFileForWebServer(std::filesystem::path source,
                            std::function<void(Expected<void, SaveError>)> completion) override;

  std::optional<std::int32_t> webServerPort() const;
  std::optional<unsigned> webSocketPort() const;
  bool isLoaded() const { return isLoaded_; }
  bool shouldUsePythonKeyboard() const { return shouldUsePythonKeyboard_; }
  void setShouldUsePythonKeyboard(bool value) { shouldUsePythonKeyboard_ = value; }
  void setFileDelegate(std::weak_ptr<WebViewControllerFileDelegate> delegate) { fileDelegate_ = std::move(delegate); }
  const LocalConfig& localConfig() const { return localConfig_; }
  const std::shared_ptr<webview::WebView>& webView() const { return webView_; }

 private:
  bool loadSplash();
  void didFailNavigation(const std::string& uri, const std::string& message);
  void load(const std::string& url);
  std::string bootURLWithDebug(unsigned webSocketPort, std::int32_t webServerPort);

  BootSettings bootSettings_;
  std::shared_ptr<RPCInterface> interface_;
  std::shared_ptr<webview::WebView> webView_;
  LocalConfig localConfig_;
  std::filesystem::path webURL_;
  std::weak_ptr<WebViewControllerDelegate> delegate_;
  std::weak_ptr<WebViewControllerFileDelegate> fileDelegate_;

  mutable std::mutex portsMutex_;  // guards the two ports: servers report them from their queues
  std::optional<std::int32_t> webServerPort_;
  std::optional<unsigned> webSocketPort_;
  std::atomic<bool> isLoaded_ = false;
  std::atomic<bool> isLaunching_ = true;
  std::atomic<bool> viewLoaded_ = false;
  std::atomic<bool> shouldUsePythonKeyboard_ = false;
};

}  // namespace kestrom

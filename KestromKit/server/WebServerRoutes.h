#pragma once
// The routes of the local HTTP server: what each request means (the first matching rule answers)
// and the server's own endpoints: the crash-reporting switch, the "/debug" redirect, content
// upload, and the save and load of files through the web view's dialogs. Files of the web root and
// the content are served by ContentServing.
//
// Threads: `route` runs on a connection's worker thread and may block (the file dialogs wait on
// the main queue, never from it); a request that `servesStaticFile` picks out only reads the disk,
// and "/debug" reads nothing, so the server's run loop routes those itself. Any number of
// requests at once. The server holds
// one and `stop`s it before it joins its workers.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/server/WebServerTypes.h"

namespace kestrom {

namespace defaults {
class UserDefaults;
}
class ContentManifestSource;
class SessionSecret;
class ProjectRequestHandler;
class WebServerFileDelegate;
struct WebServerRequestHead;

/// What the routes read and call. Everything may be left empty: a missing service answers its
/// routes with 404 (content, projects) or 500 (defaults, file dialogs).
struct WebServerServices {
  std::filesystem::path prepacked;  // prepacked content in the bundle
  std::filesystem::path webroot;    // the web application's folder
  /// Folders whose files may be served by absolute path: the kit's temporary and data folders,
  /// the content folder, recordings.
  std::vector<std::filesystem::path> handedOutFolders;
  /// The downloaded content (its folder and manifests).
  std::shared_ptr<const ContentManifestSource> content;
  /// The configuration handler's current default language, read for every request.
  std::function<std::string()> defaultLanguage;
  /// The application configuration's default language.
  std::string fallbackLanguage;
  std::shared_ptr<ProjectRequestHandler> projects;
  std::shared_ptr<WebServerFileDelegate> files;
  std::shared_ptr<defaults::UserDefaults> userDefaults;
  /// Where "/debug" sends the browser: the page's address for an external browser.
  std::function<std::string()> debugRedirectURL;
  /// The per-launch secret every request must carry as its "kestrom-session" cookie ("/debug"
  /// takes its one-time code instead). Empty: no cookie is asked for (tests of other rules).
  std::shared_ptr<SessionSecret> session;
  /// Where large bodies are spooled and "/files/saveAs" writes its file (the kit's temporary folder).
  std::filesystem::path temporaryFolder;
};

/// Every "Cookie" header of a request joined by "; " (names in any letter case); none when absent.
std::optional<std::string> cookieOf(const std::map<std::string, std::string>& headers);

class WebServerRoutes {
 public:
  /// `services` must outlive the routes. A file dialog may keep its request for `fileDialogTimeout`.
  WebServerRoutes(const WebServerServices& services, std::chrono::milliseconds fileDialogTimeout);
  WebServerRoutes(const WebServerRoutes&) = delete;
  WebServerRoutes& operator=(const WebServerRoutes&) = delete;

  WebServerResponse route(const WebServerRequest& request) const;
  /// True when `route` answers this head with a file of the web root, the content or a handed-out
  /// folder (or 404): nothing that waits for anyone.
  static bool servesStaticFile(const WebServerRequestHead& head);
  /// Ends every wait for a file dialog now and refuses those to come (any thread).
  void stop() { stopping_ = true; }

 private:
  enum class Rule;
  static Rule ruleFor(WebServerRequestMethod method, const std::string& path, const std::vector<std::string>& parts);

  WebServerResponse handleSentryEnabledPost(const WebServerRequest& request) const;
  WebServerResponse uploadContentFile(const WebServerRequest& request) const;
  WebServerResponse handleFilesSaveAs(const WebServerRequest& request) const;
  WebServerResponse handleFilesLoad(const WebServerRequest& request) const;
  /// "/debug": to the page's address, letting a browser in with the one-time code (the server's
  /// run loop asks, and logs the refusals).
  WebServerResponse handleDebug(const WebServerRequest& request) const;
  /// Blocks until `ask` has had its completion called (or the wait is abandoned).
  bool waitForFileDialog(const std::function<void(std::function<void()> done)>& ask) const;

  const WebServerServices& services_;
  const std::chrono::milliseconds fileDialogTimeout_;
  std::atomic<bool> stopping_{false};
};

}  // namespace kestrom

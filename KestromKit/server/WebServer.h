#pragma once
// The local HTTP/1.1 server: serves the web application, the content packages and a few native
// endpoints on 127.0.0.1 at a port the system chooses. One request per connection, then close; no
// keep-alive, chunked encoding or pipelining.
//
// Threads: every connection runs on a worker thread of its own, from parsing through routing to
// the written answer, so a route may block (the file dialogs wait on the main queue). No route
// ever runs on the main queue. Idle workers wait in accept(2) on the one listening socket, and the
// kernel hands each new connection straight to one of them; a worker that takes a connection
// while no other is left waiting starts one more first, up to `maxConnections` (beyond that,
// connections wait in the listen backlog). Workers idle for a while retire, all but the last. A
// run-loop thread ("WebServer" run loop) opens the socket, restarts it when it fails and reaps
// retired workers. Owned by the kit; `stop` (also run by the destructor) closes the socket, wakes
// every worker and joins them. A subclass that overrides `route` must call `stop` in its own
// destructor.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/server/WebServerTypes.h"
#include "platform/tcp/Result.h"

namespace kestrom {

namespace tcp {
class TCPClient;
class TCPServer;
}  // namespace tcp
namespace defaults {
class UserDefaults;
}
class ContentManifestSource;
class SessionSecret;
class ProjectRequestHandler;
class WebServerFileDelegate;

/// Every "Cookie" header of a request joined by "; " (names in any letter case); none when absent.
std::optional<std::string> cookieOf(const std::map<std::string, std::string>& headers);

class WebServerDelegate {
 public:
  virtual ~WebServerDelegate() = default;
  /// The port the server really listens on; called on the run-loop thread after every (re)start.
  virtual void webServerDidStart(std::int32_t port) = 0;
};

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

/// Bounds that keep one client from holding the server: all of them apply per connection.
struct WebServerLimits {
  std::size_t maxHeadBytes = 64 * 1024;
  std::uint64_t maxBodyBytes = 512ull * 1024 * 1024;
  /// Bodies above this go to a temporary file instead of memory.
  std::size_t memoryBodyBytes = 1024 * 1024;
  /// A quiet client is dropped after this long without a byte (and the whole head must arrive
  /// within it).
  std::chrono::milliseconds readTimeout{10000};
  /// The whole body must arrive within `readTimeout` plus its length at this rate: a client that
  /// drips a byte now and then cannot hold its connection for long.
  std::uint64_t minBodyBytesPerSecond = 16 * 1024;
  std::chrono::milliseconds writeTimeout{10000};
  /// Connections served at once; more wait in the listen backlog. Each has a thread of its own
  /// (mostly asleep in poll), so slow clients in their hundreds leave room for the page.
  /// At least 1.
  std::size_t maxConnections = 1024;
  /// How long a file dialog may keep its connection waiting.
  std::chrono::milliseconds fileDialogTimeout{std::chrono::minutes(30)};
};

class WebServer {
 public:
  WebServer(WebServerServices services, bool verbose, WebServerLimits limits = {});
  virtual ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  /// Set once before `start`.
  void setDelegate(std::weak_ptr<WebServerDelegate> delegate) { delegate_ = std::move(delegate); }
  /// Returns at once; the run loop listens on `port` (0: any free port) and falls back to port 0
  /// once when a fixed port cannot be had. A second call while running does nothing.
  virtual void start(std::int32_t port);
  /// Ends the run loop and every connection; no restart follows. Any thread but a worker's.
  void stop();
  /// The port listened on (kept across a restart on the same port); empty before and after.
  std::optional<std::int32_t> port() const;

  /// Decides what a request means: the first matching rule answers.
  virtual WebServerResponse route(const WebServerRequest& request);

  WebServerResponse handleSentryEnabledPost(const WebServerRequest& request);
  WebServerResponse uploadContentFile(const WebServerRequest& request);
  WebServerResponse handleFilesSaveAs(const WebServerRequest& request);
  WebServerResponse handleFilesLoad(const WebServerRequest& request);
  /// "/debug": to the page's address, letting a browser in with the one-time code.
  WebServerResponse handleDebug(const WebServerRequest& request);

  const WebServerServices& services() const { return services_; }
  const std::string& host() const { return host_; }

  /// Makes the listening socket unusable as a failing system would, so the run loop restarts.
  void breakListeningSocketForTesting();

 protected:
  /// What a worker keeps from one connection to the next, so serving allocates little.
  struct WorkerBuffers;
  /// One connection, start to close (worker thread).
  void handle(tcp::TCPClient& client, WorkerBuffers& buffers);

 private:
  /// A worker thread and the connection it is serving, if any (for `stop` to wake).
  struct Worker {
    std::thread thread;
    tcp::TCPClient* client = nullptr;
  };

  void runServer(std::int32_t requestedPort);
  /// Keeps the listening socket served until it fails or the server stops: starts a worker when
  /// none is left accepting (one that could not be started earlier) and joins retired ones.
  void superviseWorkers();
  /// Starts one more worker, counted as accepting (lock held). False when no thread can be had.
  bool startWorkerLocked();
  void workerLoop(std::list<Worker>::iterator self);
  void respond(tcp::TCPClient& client, WorkerBuffers& buffers, const WebServerResponse& response,
               const WebServerRequest& request);
  void badRequest(tcp::TCPClient& client, WorkerBuffers& buffers, std::string_view bytes);
  void send(tcp::TCPClient& client, WorkerBuffers& buffers, std::string_view statusText,
            const WebServerHeaders& headers, std::string_view body,
            const std::optional<WebServerFileRegion>& file = std::nullopt);
  /// Blocks until `ask` has had its completion called (or the wait is abandoned).
  bool waitForFileDialog(const std::function<void(std::function<void()> done)>& ask);

  const std::string host_ = "127.0.0.1";
  const bool verbose_;
  const WebServerServices services_;
  const WebServerLimits limits_;
  std::weak_ptr<WebServerDelegate> delegate_;
  /// The port the connections were accepted on, for the Host and Origin checks (0: none yet).
  std::atomic<std::int32_t> servingPort_{0};

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;  // a worker retired or the socket failed; `stop` waits for the last worker
  std::shared_ptr<tcp::TCPServer> server_;  // the socket the workers accept on
  bool listenerFailed_ = false;             // a worker found `server_` unusable: the run loop reopens it
  std::thread runLoop_;
  std::list<Worker> workers_;  // alive
  std::list<Worker> retired_;  // finished, to be joined
  std::size_t acceptors_ = 0;  // workers waiting in accept or about to
  std::optional<std::int32_t> port_;
  std::atomic<bool> stopping_{false};
};

}  // namespace kestrom

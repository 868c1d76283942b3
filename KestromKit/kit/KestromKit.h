#pragma once
// The one object the application creates to get everything else: it decodes the application
// configuration, derives the data folder, builds and wires every service, starts both servers,
// and runs start-up until the page is told it is in the foreground. It is the delegate of both
// servers and of the web view controller's file requests, and it dispatches the page's requests.
//
// Home queue: main. Construction, `start`, dispatch and delegate calls run there; server
// events arrive on the servers' threads and hop. Owner: the application (or the headless host),
// for the life of the process; make it with `create`.

#include <array>
#include <atomic>
#include <filesystem>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/kit/DialogServices.h"
#include "KestromKit/hubs/DeviceManager.h"
#include "KestromKit/kit/KestromKitDelegate.h"
#include "KestromKit/rpc/RPC.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/server/WSServerDelegate.h"
#include "KestromKit/server/WebServer.h"
#include "KestromKit/host/WebViewController.h"
#include "KestromKit/model/ConfigRecords.h"
#include "KestromKit/model/IHostConfiguration.h"
#include "platform/audio/AudioInput.h"
#include "platform/dispatch/Queue.h"
#include "platform/downloader/Downloader.h"
#include "platform/gamepads/Gamepads.h"
#include "platform/launcher/Launcher.h"

namespace kestrom {

class AudioService;
class ConfigurationHandler;
class ConfigurationService;
class ContentHandler;
class ContentService;
class DeviceService;
class FileLogWriter;
class FirmwareUpdateWindow;
class GamepadService;
class GamepadSubscriptions;
class HubService;
class MigrationService;
class ProjectInfoStore;
class ProjectsHandler;
class SessionSecret;
class SettingValueStore;
class ShellService;
class WSServer;
class WebAppRPCConnection;
class SettingsHandler;
namespace defaults {
class UserDefaults;
}

/// What the composition root chooses for the kit: the backends under it.
struct KestromKitEnvironment {
  /// Makes the window's web view stack; a NullWebView when empty (headless).
  WebViewFactory makeWebView;
  /// The kit's optional property list ("localIP", "runHeadless").
  LocalConfig localConfig;
  /// The text of the kit's "override-console.js", when the bundle has it.
  std::optional<std::string> consoleScript;
  /// The user defaults; the JSON file under $XDG_CONFIG_HOME when empty.
  std::shared_ptr<defaults::UserDefaults> userDefaults;
  /// Opens links outside the host; the desktop's default handler (GIO) when empty.
  std::shared_ptr<launcher::Launcher> launcher;
  /// Fetches the content packages' files; libcurl when empty (tests pass a fake).
  std::shared_ptr<downloader::Downloader> downloader;
  /// The process arguments ("--verbose" raises the file log).
  std::vector<std::string> arguments;
  /// Seconds since 1970 now; the system clock when empty (tests pass a virtual one).
  std::function<double()> now;
  /// The microphone; SDL capture, opened at the page's first audio request, when empty.
  std::shared_ptr<audio::AudioInput> audioInput;
  /// The game controllers, delivering on the main queue; SDL's, started at the page's first
  /// subscription, when empty.
  std::shared_ptr<gamepads::Gamepads> gamepads;
  /// The desktop's file panels, alerts and share picker, with the texts and types they show (tests
  /// script them). None: every panel ends as cancelled, as in a host without a window.
  std::shared_ptr<DialogServices> dialogServices;
  /// Builds the hub transports; no transport at all when empty. The application and the
  /// headless host pass makeLinuxHubTransports, tests their fakes.
  HubTransportsMaker makeHubTransports;
};

class KestromKit final : public WSServerDelegate,
                         public WebServerDelegate,
                         public WebViewControllerFileDelegate,
                         public std::enable_shared_from_this<KestromKit> {
 public:
  /// Decodes `appConfiguration` (stopping the process with "Could not decode AppConfig object
  /// from json: " and the error when it does not decode), builds every service and starts both
  /// servers. Main queue.
  static std::shared_ptr<KestromKit> create(const std::string& appConfiguration,
                                            std::weak_ptr<KestromKitDelegate> delegate,
                                            std::vector<KestromVerbosityOptions> verbosity, PlatformType platform,
                                            KestromKitEnvironment environment = {});
  ~KestromKit() override;

  /// For the end of main(): waits until every kit is torn down and every thread its parts let go
  /// of from inside has ended, or `timeout` passed (false). The last owner of a kit is not always
  /// main: a server thread holding the kit for one event as the host quits tears it down there, or
  /// (the web server's threads, which the teardown joins) on a thread of its own.
  static bool waitForTeardown(std::chrono::milliseconds timeout);

  /// Runs start-up: loading view, migrations, prepacked content, stores, web view, and 0.3 s
  /// later the project list and "host/lifecycle/foreground". Requires the delegate.
  void start();
  void reloadWebView();
  std::string currentLanguage() const;
  void menuItemClicked(MenuBarItem item);
  /// Called on the main queue when a handed-over file is opened, or with the reason it was not, in
  /// words for the user ("It is not a project file.").
  using OpenDone = std::function<void(const Expected<void, std::string>&)>;
  /// Opens a project file handed over by the desktop (command line, drop) without waiting for it:
  /// false at once for something that is no regular file; every failure is logged as well.
  bool openProject(const std::filesystem::path& url, OpenDone done = {});
  /// Resolves `bookmark`, makes the project folder below it and switches to it, on the projects'
  /// own queue; `completion` runs on main afterwards in every case.
  void changeProjectFolder(const std::optional<std::string>& bookmark, bool migrateProjects,
                           const std::function<void()>& completion);
  bool isSentryEnabled() const;
  /// The per-launch secret both servers ask of every request, as the cookie "kestrom-session".
  /// The desktop application puts it into the web view's cookie store before the first load;
  /// never log it or put it into a URL. Any thread.
  const std::string& sessionSecret() const;

  /// What a row of the dispatch table runs: the request's handler.
  using DispatchHandler = std::function<void(RPC::Request)>;
  /// Runs one decoded request's handler (its row of the dispatch table). Main queue.
  void dispatch(RPC::Request request);

  const PartialIAppConfig& appConfig() const { return appConfig_; }
  const std::filesystem::path& dataFolder() const { return dataFolder_; }
  const std::shared_ptr<WebViewController>& webViewController() const { return webViewController_; }
  const std::shared_ptr<SettingValueStore>& settingValueStore() const { return settingValueStore_; }
  const std::shared_ptr<FirmwareUpdateWindow>& firmwareWindow() const { return firmwareWindow_; }
  /// The page's running game-controller subscription; none before the first. Main queue.
  std::shared_ptr<GamepadService> gamepadService() const;
  std::shared_ptr<KestromKitDelegate> delegate() const { return delegate_.lock(); }

  // WSServerDelegate
  void handle(const WSEvent& event) override;
  // WebServerDelegate
  void webServerDidStart(std::int32_t port) override;
  // WebViewControllerFileDelegate
  bool openDroppedFile(const std::filesystem::path& url) override;

 private:
  KestromKit(PartialIAppConfig appConfig, std::weak_ptr<KestromKitDelegate> delegate, PlatformType platform);
  /// Builds every service, in the order below, wires them and starts both servers.
  void build(const std::vector<KestromVerbosityOptions>& verbosity, KestromKitEnvironment environment);
  /// The bundle's folders from the delegate, and the data folder (an older one moved into place).
  void locateFolders();
  /// The backends the environment chose, or the desktop's own: panels, defaults, links, clock.
  void takeBackends(KestromKitEnvironment& environment);
  /// What the page's requests reach: the WebSocket server and its outlet, the project index and
  /// the projects, the settings, the configuration, the content, the microphone and the gamepads.
  void buildPageServices(const std::vector<KestromVerbosityOptions>& verbosity,
                         const KestromKitEnvironment& environment);
  /// The file log and the web view controller with the page's boot settings.
  void buildWebView(const KestromKitEnvironment& environment);
  void buildWebServer(const std::vector<KestromVerbosityOptions>& verbosity);
  /// The device model, the migrations, the hubs with their transports, the firmware window and
  /// the shell's panels.
  void buildDesktopServices(const std::vector<KestromVerbosityOptions>& verbosity,
                            const KestromKitEnvironment& environment);
  /// What the last owner's release runs: deletes the kit, on a thread where that is safe.
  static void tearDown(KestromKit* done);
  void continueStartup();
  void finishStartup();
  void sendInitialState();
  void send(RPCMessage message);

  /// Binds every method to its handler; once, at the end of `build`.
  void buildDispatchTable();

  PartialIAppConfig appConfig_;
  std::weak_ptr<KestromKitDelegate> delegate_;
  PlatformType platform_;
  std::filesystem::path variantURL_;
  std::filesystem::path webURL_;
  std::filesystem::path contentURL_;
  std::filesystem::path dataFolder_;

  std::shared_ptr<DialogServices> dialogServices_;  // the services hold it weakly
  std::shared_ptr<defaults::UserDefaults> userDefaults_;
  std::shared_ptr<launcher::Launcher> launcher_;
  std::function<double()> now_;
  std::shared_ptr<SessionSecret> session_;
  std::shared_ptr<WSServer> wsServer_;
  std::shared_ptr<WebAppRPCConnection> rpcConnection_;
  std::shared_ptr<ProjectInfoStore> projectInfoStore_;
  std::shared_ptr<SettingValueStore> settingValueStore_;
  std::shared_ptr<SettingsHandler> settingsHandler_;
  std::shared_ptr<ProjectsHandler> projectsHandler_;
  std::shared_ptr<ConfigurationHandler> configurationHandler_;
  std::shared_ptr<ConfigurationService> configurationService_;
  std::shared_ptr<ContentHandler> contentHandler_;
  std::shared_ptr<ContentService> contentService_;
  std::shared_ptr<AudioService> audioService_;
  std::shared_ptr<FileLogWriter> fileLogWriter_;
  std::shared_ptr<WebViewController> webViewController_;
  std::shared_ptr<WebServer> webServer_;
  std::shared_ptr<DeviceService> deviceService_;
  std::shared_ptr<MigrationService> migrationService_;
  std::shared_ptr<HubService> hubService_;
  std::shared_ptr<FirmwareUpdateWindow> firmwareWindow_;
  std::shared_ptr<ShellService> shellService_;
  std::shared_ptr<GamepadSubscriptions> gamepadSubscriptions_;

  std::array<DispatchHandler, RPC::kRequestCaseCount> dispatchTable_;
};

}  // namespace kestrom

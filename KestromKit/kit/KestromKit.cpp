#include "KestromKit/kit/KestromKit.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "KestromKit/server/LoopbackGuard.h"
#include "KestromKit/server/ProjectRequestHandler.h"
#include "KestromKit/server/SessionSecret.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/server/WebAppRPCConnection.h"
#include "KestromKit/host/AudioService.h"
#include "KestromKit/host/DeviceService.h"
#include "KestromKit/host/FileLogWriter.h"
#include "KestromKit/host/GamepadSubscriptions.h"
#include "KestromKit/hubs/FirmwareUpdateWindow.h"
#include "KestromKit/hubs/HubService.h"
#include "KestromKit/kit/ShellService.h"
#include "KestromKit/storage/ChosenFolders.h"
#include "KestromKit/storage/ConfigurationHandler.h"
#include "KestromKit/storage/ConfigurationService.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/ContentHandler.h"
#include "KestromKit/storage/ContentService.h"
#include "platform/defaults/JSONFileUserDefaults.h"
#include "KestromKit/storage/MigrationService.h"
#include "KestromKit/storage/ProjectInfoStore.h"
#include "KestromKit/storage/ProjectRoute.h"
#include "KestromKit/storage/ProjectsHandler.h"
#include "KestromKit/storage/SettingValueStore.h"
#include "KestromKit/storage/SettingsHandler.h"
#include "platform/audio/SDLAudioInput.h"
#include "platform/bookmarks/Bookmarks.h"
#include "platform/crash/CrashReporter.h"
#include "platform/dispatch/DetachedThreads.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/downloader/CurlDownloader.h"
#include "platform/gamepads/SDLGamepads.h"
#include "platform/log/Fatal.h"
#include "platform/tcp/DescriptorLimit.h"

namespace kestrom {

namespace fs = std::filesystem;

namespace {

constexpr auto kForegroundDelay = std::chrono::milliseconds(300);

bool contains(const std::vector<KestromVerbosityOptions>& options, KestromVerbosityOptions option) {
  return std::find(options.begin(), options.end(), option) != options.end();
}

// Kits made and not yet torn down. Never destroyed: a teardown may end during exit handlers.
struct LiveKits {
  std::mutex mutex;  // guards count
  std::condition_variable changed;
  int count = 0;

  static LiveKits& shared() {
    static auto* kits = new LiveKits;
    return *kits;
  }
  void add(int delta) {
    std::lock_guard lock(mutex);
    count += delta;
    changed.notify_all();
  }
};

// Why a handed-over file did not open, as the user is told it.
std::string openFailureReason(const ProjectsHandlerError& error) {
  using Kind = ProjectsHandlerError::Kind;
  switch (error.kind) {
    case Kind::unableToOpenZip:
    case Kind::missingFileInZip:
      return "It is not a project file.";
    case Kind::invalidManifest:
      return "Its project description is damaged.";
    case Kind::notAFile:
      return "It is not a file.";
    case Kind::unableToWriteFile:
      return "It could not be updated.";
    default:
      break;
  }
  return error.detail.empty() ? "It could not be read." : "It could not be read: " + error.detail + ".";
}

}  // namespace

void KestromKit::tearDown(KestromKit* done) {
  auto finish = [done] {
    delete done;
    LiveKits::shared().add(-1);
  };
  // The web server calls the kit on its own threads, holding it for the call; when the last owner
  // lets go meanwhile, that thread would stop the server and join itself. The teardown moves to a
  // thread of its own instead, counted until it ends (see waitForTeardown).
  if (!done->webServer_ || !done->webServer_->isOwnThread()) {
    finish();
    return;
  }
  try {
    dispatch::ThreadExit exit;
    std::thread teardown([finish, exit] {
      pthread_setname_np(pthread_self(), "Kit teardown");
      finish();
    });
    exit.detach(teardown);
  } catch (const std::system_error& e) {
    // Without a thread it cannot be torn down safely here; leaving it is better than a crash.
    Constants::log().general.fault("Unable to tear down the kit: %s", e.what());
  }
}

bool KestromKit::waitForTeardown(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto& kits = LiveKits::shared();
  {
    std::unique_lock lock(kits.mutex);
    if (!kits.changed.wait_until(lock, deadline, [&] { return kits.count == 0; })) return false;
  }
  return dispatch::waitForDetachedThreads(deadline - std::chrono::steady_clock::now());
}

std::shared_ptr<KestromKit> KestromKit::create(const std::string& appConfiguration,
                                               std::weak_ptr<KestromKitDelegate> delegate,
                                               std::vector<KestromVerbosityOptions> verbosity, PlatformType platform,
                                               KestromKitEnvironment environment) {
  auto appConfig = decodeText<PartialIAppConfig>(appConfiguration);
  if (!appConfig)
    log::fatalError("KestromKit/KestromKit",
                    "Could not decode AppConfig object from json: " + appConfig.error().description());
  LiveKits::shared().add(1);
  std::shared_ptr<KestromKit> kit(new KestromKit(std::move(*appConfig), std::move(delegate), platform),
                                  [](KestromKit* done) { tearDown(done); });
  kit->build(verbosity, std::move(environment));
  return kit;
}

KestromKit::KestromKit(PartialIAppConfig appConfig, std::weak_ptr<KestromKitDelegate> delegate, PlatformType platform)
    : appConfig_(std::move(appConfig)), delegate_(std::move(delegate)), platform_(platform) {}

KestromKit::~KestromKit() {
  // Work still queued somewhere may hold the outlet, and with it the WebSocket server: end the
  // server's thread now, so that it does not outlive the kit.
  if (wsServer_) wsServer_->shutdown();
}

void KestromKit::build(const std::vector<KestromVerbosityOptions>& verbosity, KestromKitEnvironment environment) {
  locateFolders();
  takeBackends(environment);
  tcp::raiseDescriptorLimit();  // every connection holds a descriptor; the inherited soft limit is often 1024
  buildPageServices(verbosity, environment);
  buildWebView(environment);
  buildWebServer(verbosity);
  buildDesktopServices(verbosity, environment);

  projectsHandler_->setDelegate(dialogServices_);
  buildDispatchTable();

  std::weak_ptr<KestromKit> weak = weak_from_this();
  webServer_->setDelegate(weak);
  wsServer_->setDelegate(weak);
  webViewController_->setFileDelegate(weak);
  wsServer_->start(0);
  webServer_->start(0);
  if (isSentryEnabled() && appConfig_.sentry && appConfig_.sentry->macos) {
    crash::start(dataFolder_ / "logs");
    Constants::log().general.info("Crash reporting is on: reports stay in %s", (dataFolder_ / "logs").string());
  }
}

void KestromKit::locateFolders() {
  if (auto delegate = delegate_.lock()) {
    variantURL_ = delegate->variantURL();
    webURL_ = delegate->webURL();
    contentURL_ = delegate->contentURL();
  }
  dataFolder_ = Constants::path().applicationSupport / appConfig_.userDataFolder;
  if (auto migrated = MigrationService::migrateApplicationSupportFolder(appConfig_.userDataFolder); !migrated)
    Constants::log().general.info("Failed to migrate application support files: %s", migrated.error().message);
  std::error_code error;
  fs::create_directories(dataFolder_, error);
  if (error) Constants::log().general.error("Unable to create the data folder %s: %s", dataFolder_.string(), error.message());
}

void KestromKit::takeBackends(KestromKitEnvironment& environment) {
  dialogServices_ = environment.dialogServices ? std::move(environment.dialogServices)
                                               : std::make_shared<DialogServices>(DialogServices::Options{});
  userDefaults_ = environment.userDefaults;
  if (!userDefaults_)
    userDefaults_ = std::make_shared<defaults::JSONFileUserDefaults>(
        defaults::JSONFileUserDefaults::defaultFile(Constants::kitBundleIdentifier()));
  launcher_ = environment.launcher ? environment.launcher : launcher::makeGioLauncher();
  now_ = environment.now ? environment.now : [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  };
}

void KestromKit::buildPageServices(const std::vector<KestromVerbosityOptions>& verbosity,
                                   const KestromKitEnvironment& environment) {
  using enum KestromVerbosityOptions;
  session_ = std::make_shared<SessionSecret>();
  wsServer_ = WSServer::create();
  wsServer_->setSessionSecret(session_);
  rpcConnection_ = std::make_shared<WebAppRPCConnection>(wsServer_, contains(verbosity, webSocket),
                                                         contains(verbosity, sensorData));
  const auto& prefix = appConfig_.macos.userDataFolderPrefix;
  projectInfoStore_ = std::make_shared<ProjectInfoStore>(dataFolder_ / (prefix + "availableProjects.json"));
  settingValueStore_ = std::make_shared<SettingValueStore>(dataFolder_ / (prefix + "userSettings.json"));
  settingsHandler_ = std::make_shared<SettingsHandler>(settingValueStore_, rpcConnection_, [delegate = delegate_] {
    if (auto shell = delegate.lock()) shell->languageChanged();
  });
  projectsHandler_ = std::make_shared<ProjectsHandler>(rpcConnection_, appConfig_.projectFolder,
                                                       appConfig_.macos.fileAssociation.ext, projectInfoStore_,
                                                       contains(verbosity, projectsHandler), userDefaults_);
  configurationHandler_ = std::make_shared<ConfigurationHandler>(appConfig_, settingValueStore_, projectsHandler_, platform_);
  configurationService_ = std::make_shared<ConfigurationService>(configurationHandler_, rpcConnection_);
  contentHandler_ = std::make_shared<ContentHandler>(
      variantURL_, contentURL_, environment.downloader ? environment.downloader : downloader::makeCurlDownloader());
  contentService_ = std::make_shared<ContentService>(contentHandler_, rpcConnection_, launcher_);
  audioService_ = std::make_shared<AudioService>(
      rpcConnection_,
      [input = environment.audioInput]() -> std::shared_ptr<audio::AudioInput> {
        return input ? input : std::make_shared<audio::SDLAudioInput>();
      },
      Constants::path().tmp);
  gamepadSubscriptions_ = std::make_shared<GamepadSubscriptions>(
      rpcConnection_, [given = environment.gamepads]() -> std::shared_ptr<gamepads::Gamepads> {
        return given ? given : std::make_shared<gamepads::SDLGamepads>(dispatch::mainQueue());
      });
}

void KestromKit::buildWebView(const KestromKitEnvironment& environment) {
  fileLogWriter_ = std::make_shared<FileLogWriter>(dataFolder_);
  bool verboseLog = std::find(environment.arguments.begin(), environment.arguments.end(), "--verbose") !=
                    environment.arguments.end();

  std::weak_ptr<KestromKit> weak = weak_from_this();
  BootSettings boot{
      .appId = appConfig_.appId,
      .fullVersion = appConfig_.fullVersion,
      .defaultLanguage = [handler = configurationHandler_] { return handler->defaultLanguage(); },
      .sentryEnabled =
          [weak] {
            auto self = weak.lock();
            return self && self->isSentryEnabled();
          },
      .sessionSecret = session_->value(),
      .debugCode = [session = session_] { return session->debugCode(); },
  };
  // The page's website data lives in the data folder with the rest of the host's data.
  auto makeWebView = [make = environment.makeWebView, data = dataFolder_ / "WebView",
                      cache = fs::path(Constants::path().caches) / Constants::kitBundleIdentifier() / "WebView"](
                         webview::WebViewConfiguration configuration) -> std::shared_ptr<webview::WebView> {
    if (!make) return nullptr;
    configuration.websiteDataFolder = data;
    configuration.websiteCacheFolder = cache;
    return make(std::move(configuration));
  };
  webViewController_ = std::make_shared<WebViewController>(
      std::move(boot), rpcConnection_, makeWebView, environment.localConfig, webURL_, dialogServices_,
      verboseLog ? LogWriterLevel::verbose(fileLogWriter_) : LogWriterLevel::error(fileLogWriter_),
      environment.consoleScript);
}

void KestromKit::buildWebServer(const std::vector<KestromVerbosityOptions>& verbosity) {
  const auto& paths = Constants::path();
  WebServerServices services;
  services.prepacked = contentURL_;
  services.webroot = webURL_;
  services.handedOutFolders = {paths.tmp, dataFolder_, contentHandler_->contentPath()};
  services.content = contentHandler_;
  services.defaultLanguage = [handler = configurationHandler_] { return handler->defaultLanguage(); };
  services.fallbackLanguage = appConfig_.defaultLanguage;
  services.projects = std::make_shared<ProjectRouteHandler>(projectsHandler_);
  services.files = webViewController_;
  services.userDefaults = userDefaults_;
  services.debugRedirectURL = debugRedirectURL;
  services.session = session_;
  services.temporaryFolder = paths.tmp;
  webServer_ =
      std::make_shared<WebServer>(std::move(services), contains(verbosity, KestromVerbosityOptions::webServer));
}

void KestromKit::buildDesktopServices(const std::vector<KestromVerbosityOptions>& verbosity,
                                      const KestromKitEnvironment& environment) {
  deviceService_ = std::make_shared<DeviceService>();
  configurationHandler_->setDeviceModel(deviceService_->macModelName());
  migrationService_ =
      std::make_shared<MigrationService>(appConfig_.userDataFolder, userDefaults_, settingValueStore_->storeFile());
  const bool verboseHubs = contains(verbosity, KestromVerbosityOptions::hub);
  HubServiceFactory hubFactory;
  HubTransports hubTransports;
  if (environment.makeHubTransports) hubTransports = environment.makeHubTransports(hubFactory, verboseHubs);
  hubService_ = std::make_shared<HubService>(rpcConnection_, verboseHubs, std::move(hubFactory),
                                             std::move(hubTransports), dialogServices_);
  firmwareWindow_ = std::make_shared<FirmwareUpdateWindow>(rpcConnection_, now_);
  shellService_ = std::make_shared<ShellService>(rpcConnection_, dialogServices_, delegate_);
}

std::shared_ptr<GamepadService> KestromKit::gamepadService() const { return gamepadSubscriptions_->current(); }

void KestromKit::send(RPCMessage message) { rpcConnection_->send(std::move(message)); }

void KestromKit::start() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto delegate = delegate_.lock();
  if (!delegate) log::fatalError("KestromKit/KestromKit", "This is a programming error.");
  delegate->setContentViewController(ContentViewController::loading);
  // The servers answer already. A download asked for during the migrations would write into the
  // folder that the copy of the prepacked content replaces: it waits for continueStartup.
  contentHandler_->holdDownloads();
  std::weak_ptr<KestromKit> weak = weak_from_this();
  migrationService_->run([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->settingValueStore_->load();  // after the migrations, which may have converted older settings
    self->continueStartup();
  });
}

void KestromKit::continueStartup() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  contentHandler_->removeStrayTemporaries();  // on the content queue, ahead of the copy
  if (!contentService_->needsPrepackedContentCopy()) {
    contentHandler_->releaseDownloads();
    finishStartup();
    return;
  }
  Constants::log().general.info("Content changed. Copying prepacked content");
  std::weak_ptr<KestromKit> weak = weak_from_this();
  // The page hears nothing of this copy; a failed copy still lets start-up go on (its error is
  // logged) instead of leaving the loading view up for good.
  contentHandler_->restorePrepackedContent([weak](bool ok) {
    if (ok) {
      Constants::log().general.info("Finished coping new prepacked content");
    } else {
      Constants::log().general.error("Error copying packaged contents");
    }
    dispatch::mainQueue()->async([weak] {
      if (auto self = weak.lock()) self->finishStartup();
    });
  });
  contentHandler_->releaseDownloads();  // behind the copy on the content queue
}

void KestromKit::finishStartup() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  projectInfoStore_->load();
  // Saves killed half way left hidden temporary files in the project folder; nothing saves yet.
  projectsHandler_->library()->queue()->async([library = projectsHandler_->library()] {
    (void)library->removeStrayTemporaries();
  });
  configurationHandler_->persistCurrentLanguage();
  hubService_->attach();
  if (auto delegate = delegate_.lock()) delegate->setContentViewController(ContentViewController::webView);
  webViewController_->viewDidLoad();
  std::weak_ptr<KestromKit> weak = weak_from_this();
  dispatch::mainQueue()->asyncAfter(kForegroundDelay, [weak] {
    if (auto self = weak.lock()) self->sendInitialState();
  });
}

void KestromKit::sendInitialState() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  projectsHandler_->requestAllProjectsAsync(nullptr);  // cleans the index; nobody is answered
  send(RPC::Notification::make<RPC::Notification::Case::hostLifecycleForeground>());
  firmwareWindow_->check();
}

void KestromKit::reloadWebView() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  webViewController_->reload();
}

std::string KestromKit::currentLanguage() const { return configurationHandler_->currentLanguage(); }

void KestromKit::menuItemClicked(MenuBarItem item) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  send(RPC::Notification::make<RPC::Notification::Case::menuItemClicked>(RPCNotifyMenuItemClickedParams{item}));
}

bool KestromKit::openProject(const fs::path& url, OpenDone done) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  // Read and indexed on the projects' own queue; only a file that is plainly no project fails here.
  return projectsHandler_->openProjectURLAsync(url, [done = std::move(done)](const ProjectsResult<void>& opened) {
    if (!done) return;
    Expected<void, std::string> result;
    if (!opened) result = makeUnexpected(openFailureReason(opened.error()));
    dispatch::mainQueue()->async([done, result] { done(result); });
  });
}

bool KestromKit::openDroppedFile(const fs::path& url) { return openProject(url, {}); }

void KestromKit::changeProjectFolder(const std::optional<std::string>& bookmark, bool migrateProjects,
                                     const std::function<void()>& completion) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  projectsHandler_->changeProjectFolderAsync(bookmark, migrateProjects, [completion] {
    if (completion) dispatch::mainQueue()->async(completion);
  });
}

const std::string& KestromKit::sessionSecret() const { return session_->value(); }

bool KestromKit::isSentryEnabled() const {
  if (auto stored = userDefaults_ ? userDefaults_->value(Constants::kSentryEnabledKey) : std::nullopt; stored && stored->is_boolean())
    return stored->get<bool>();
  return appConfig_.sentry && appConfig_.sentry->macos.has_value();
}

void KestromKit::webServerDidStart(std::int32_t port) {
  wsServer_->setAllowedOrigins(LoopbackGuard::pageOrigins(static_cast<unsigned>(port)));
  std::weak_ptr<KestromKit> weak = weak_from_this();
  dispatch::mainQueue()->async([weak, port] {
    auto self = weak.lock();
    if (!self) return;
    self->webViewController_->setWebServerPort(port);
    self->webViewController_->boot();
  });
}

}  // namespace kestrom

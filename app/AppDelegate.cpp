#include "app/AppDelegate.h"

#include <gtk/gtk.h>

#include "KestromKit/base/Constants.h"
#include "KestromKit/host/ConsoleMessageHandlers.h"
#include "KestromKit/host/HexColor.h"
#include "KestromKit/hubs/LinuxHubTransports.h"
#include "platform/defaults/JSONFileUserDefaults.h"
#include "app/GtkMainMenu.h"
#include "app/GtkWindowGeometry.h"
#include "app/WindowPlacement.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/downloader/CurlDownloader.h"
#include "platform/log/Fatal.h"
#include "platform/log/GuardedCallback.h"
#include "platform/shell/GtkFileDrop.h"
#include "platform/shell/GtkDialogs.h"
#include "platform/shell/GtkLaunchView.h"
#include "platform/webview/WebKitLeftovers.h"
#include "platform/webview/WebKitWebViewStack.h"

namespace kestrom::app {

namespace {

constexpr const char* kApplicationActions[] = {"orderFrontStandardAboutPanel", "openPreferences", "hide",
                                               "terminate", "newDocument", "openDocument", "saveAs", "moveTo",
                                               "arrangeInFront", "openHelp", "reload"};
constexpr const char* kWindowActions[] = {"undo", "redo", "cut", "copy", "paste", "selectAll",
                                          "toggleFullscreen", "performMiniaturize", "performZoom"};

// WebKit's names of the editing commands behind the Edit menu.
const char* editingCommand(const std::string& action) {
  if (action == "undo") return "Undo";
  if (action == "redo") return "Redo";
  if (action == "cut") return "Cut";
  if (action == "copy") return "Copy";
  if (action == "paste") return "Paste";
  if (action == "selectAll") return "SelectAll";
  return nullptr;
}

// How long the window manager's reports of a move or resize must pause before the frame is saved:
// a drag reports every few milliseconds, and each save rewrites the defaults file.
constexpr auto kFrameSettle = std::chrono::milliseconds(400);

void onAction(GSimpleAction* action, GVariant*, gpointer data) {
  log::guardedCallback("menu action",
                       [&] { static_cast<AppDelegate*>(data)->performAction(g_action_get_name(G_ACTION(action))); });
}

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(GtkApplication* application, std::vector<std::string> arguments) {
  std::shared_ptr<AppDelegate> delegate(new AppDelegate(application, std::move(arguments)));
  delegate->makeWindow();
  delegate->addActions();
  return delegate;
}

AppDelegate::AppDelegate(GtkApplication* application, std::vector<std::string> arguments)
    : application_(application),
      arguments_(std::move(arguments)),
      bundle_(bundle::Bundle::main()),
      configuration_(Configuration::shared()) {
  auto title = bundle_.infoString("CFBundleDisplayName");
  if (!title) log::fatalError("AppDelegate", "The bundle's Info.plist has no CFBundleDisplayName");
  applicationTitle_ = *title;
  l10n_ = L10n::load(bundle_, preferredLanguagesFromEnvironment());
  userDefaults_ = std::make_shared<defaults::JSONFileUserDefaults>(
      defaults::JSONFileUserDefaults::defaultFile(bundle_.infoString("CFBundleIdentifier").value_or("org.kestrom.Kestrom")));
}

AppDelegate::~AppDelegate() {
  frameSave_.cancel();
  if (window_) g_object_remove_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer*>(&window_));
  for (auto* action : projectActions_) g_object_unref(action);
}

void AppDelegate::makeWindow() {
  window_ = GTK_WINDOW(gtk_application_window_new(application_));
  gtk_window_set_title(window_, applicationTitle_.c_str());
  // The icon is named by the application id, in the hicolor theme of the install (or of the build
  // tree): share/icons beside the program's bin folder.
  std::error_code noProgram;
  auto icons = std::filesystem::read_symlink("/proc/self/exe", noProgram).parent_path().parent_path() / "share/icons";
  if (!noProgram)
    gtk_icon_theme_add_search_path(gtk_icon_theme_get_for_display(gtk_widget_get_display(GTK_WIDGET(window_))),
                                   icons.c_str());
  gtk_window_set_icon_name(window_, g_application_get_application_id(G_APPLICATION(application_)));
  gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window_), TRUE);
  gtk_widget_set_size_request(GTK_WIDGET(window_), static_cast<int>(configuration_.minimumContentSize.width),
                              static_cast<int>(configuration_.minimumContentSize.height));
  dialogs_ = std::make_shared<shell::GtkDialogs>(window_);

  GtkDropTarget* drop = gtk_drop_target_new(GDK_TYPE_FILE_LIST, GDK_ACTION_COPY);
  g_signal_connect(drop, "drop",
                   G_CALLBACK(+[](GtkDropTarget*, const GValue* value, double, double, gpointer data) -> gboolean {
                     return log::guardedCallback("window drop", gboolean(FALSE), [&]() -> gboolean {
                       auto first = shell::firstDroppedFile(value);
                       return first && static_cast<AppDelegate*>(data)->fileDroppedOnWindow(*first);
                     });
                   }),
                   this);
  gtk_widget_add_controller(GTK_WIDGET(window_), GTK_EVENT_CONTROLLER(drop));

  // The pointer goes with the window, so nothing touches a window that is gone.
  g_object_add_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer*>(&window_));
  watchWindowFrame(window_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->scheduleFrameSave();
  });
  // Full screen hides whether the window is maximised beneath it (openbox drops the state while
  // full screen): the state it had outside full screen is the one kept. While the window is being
  // placed it is unmaximised on purpose, and the state asked for stays.
  watchWindowState(window_, [weak = weak_from_this()](bool maximized, bool fullScreen) {
    auto self = weak.lock();
    if (self && !fullScreen && !self->placing_) self->maximized_ = maximized;
  });
  // Closing the window quits as the Quit item does, and the window stays until the process ends.
  // Destroyed here, the web view would go while its web process still answers (a resize just
  // before the close leaves replies in flight), and GApplication runs what is pending once more
  // after "shutdown" when the quit came from the last window going: WebKit then crashes in a reply
  // for the view that is gone. A quit asked for ends the loop without that last round.
  g_signal_connect(window_, "close-request", G_CALLBACK(+[](GtkWindow*, gpointer data) -> gboolean {
                     log::guardedCallback("window close", [&] { static_cast<AppDelegate*>(data)->quit(); });
                     return TRUE;
                   }),
                   this);
  // The View item names the state the window is in once the change has happened.
  g_signal_connect(window_, "notify::fullscreened",
                   G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
                     log::guardedCallback("full-screen change",
                                          [&] { static_cast<AppDelegate*>(data)->buildMainMenu(); });
                   }),
                   this);
}

void AppDelegate::addActions() {
  auto add = [this](GActionMap* map, const char* name) {
    GSimpleAction* action = g_simple_action_new(name, nullptr);
    g_signal_connect(action, "activate", G_CALLBACK(onAction), this);
    g_action_map_add_action(map, G_ACTION(action));
    if (std::string_view(name) == "saveAs" || std::string_view(name) == "moveTo") {
      g_simple_action_set_enabled(action, isMenuItemEnabled(MainMenu::kProjectRequiredTag, isProjectAvailable_));
      projectActions_.push_back(action);  // keeps the reference
    } else {
      g_object_unref(action);
    }
  };
  for (const char* name : kApplicationActions) add(G_ACTION_MAP(application_), name);
  for (const char* name : kWindowActions) add(G_ACTION_MAP(window_), name);
}

void AppDelegate::applicationDidFinishLaunching() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (kestromApp_) {
    gtk_window_present(window_);
    return;
  }
  // WebKit leaves the descriptions of its web processes' sandboxes behind when the application
  // ends: those of earlier runs go before this run's web view adds its own.
  if (int removed = webview::removeStaleSandboxDescriptions(webview::sandboxDescriptionFolder())) {
    Constants::log().webView.info("Removed %d sandbox descriptions of earlier runs", removed);
  }
  bool builtForAppstore = bundle_.infoBool("BuiltForAppstore").value_or(true);
  PlatformType platform = builtForAppstore ? PlatformType::macosappstore : PlatformType::macos;

  KestromKitEnvironment environment;
  environment.makeWebView = [this](webview::WebViewConfiguration configuration) {
    return makeWebView(configuration);
  };
  if (auto localConfig = bundle_.url("KestromKit", "plist")) environment.localConfig = LocalConfig::read(*localConfig);
  environment.consoleScript = readConsoleScript(bundle_.resourceURL());
  environment.userDefaults = userDefaults_;
  environment.downloader = downloader::makeCurlDownloader();
  environment.arguments = arguments_;
  environment.dialogServices = makeDialogServices();
  environment.makeHubTransports = makeLinuxHubTransports;
  kestromApp_ = KestromKit::create(configuration_.applicationConfigurationString, weak_from_this(), {}, platform,
                                   std::move(environment));
  kestromApp_->start();

  auto queued = std::exchange(initialProjectUrls_, {});
  for (const auto& url : queued) openProject(url);

  placeWindow();
  buildMainMenu();
  gtk_window_present(window_);
}

std::shared_ptr<webview::WebView> AppDelegate::makeWebView(const webview::WebViewConfiguration& configuration) {
  const auto& variant = configuration_.variant;
  auto* launchView = shell::makeLaunchView(
      {variant.launchScreenColorRed, variant.launchScreenColorGreen, variant.launchScreenColorBlue});
  // The kit decodes the configuration too; here only the view's background colour is read.
  auto appConfig = decodeText<PartialIAppConfig>(configuration_.applicationConfigurationString);
  RGBAColor background = hexColor(appConfig ? appConfig->cutoutAreaBackground : std::string());
  webStack_ = std::make_shared<webview::WebKitWebViewStack>(
      launchView, webview::Rgba{variant.launchScreenColorRed, variant.launchScreenColorGreen, variant.launchScreenColorBlue, 1},
      webview::Rgba{background.red, background.green, background.blue, background.alpha},
      configuration.websiteDataFolder, configuration.websiteCacheFolder);
  webStack_->configure(configuration);
  return webStack_;
}

void AppDelegate::openURLs(std::vector<std::filesystem::path> urls) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!kestromApp_) {
    initialProjectUrls_ = std::move(urls);
    return;
  }
  for (const auto& url : urls) openProject(url);
}

bool AppDelegate::fileDroppedOnWindow(const std::filesystem::path& file) {
  if (!kestromApp_) {
    initialProjectUrls_ = {file};
    return true;
  }
  openProject(file);
  return true;
}

void AppDelegate::placeWindow() {
  auto monitors = measureMonitors(window_);
  PlacementInput input;
  input.mainScreenVisibleFrame = monitors.main;
  input.screenVisibleFrames = monitors.all;
  input.minimumContentSize = configuration_.minimumContentSize;
  if (auto version = userDefaults_->value(kCustomScreenSizeVersionKey); version && version->is_number_integer()) {
    input.storedPlacementVersion = version->get<int>();
  }
  std::optional<SavedWindowFrame> saved;
  if (auto value = userDefaults_->value(kWindowFrameKey)) saved = decodeWindowFrame(*value);
  if (saved) input.windowFrame = saved->frame;

  auto decision = app::placeWindow(input);
  if (decision.storeVersion) (void)userDefaults_->setValue(kCustomScreenSizeVersionKey, *decision.storeVersion);
  if (decision.frame) {
    normalFrame_ = SavedWindowFrame{*decision.frame, false, saved ? saved->frameExtents : std::nullopt};
  } else if (saved) {
    normalFrame_ = saved;
  } else {
    return;
  }
  placing_ = true;
  maximized_ = normalFrame_->maximized;
  FrameExtents extents = normalFrame_->frameExtents.value_or(FrameExtents{});
  // A window that maps maximised has no frame of its own for the window manager to give back when
  // it is unmaximised (it would land where the window manager puts new windows): it is maximised
  // only once it shows at its frame.
  applyWindowFrame(window_, normalFrame_->frame, extents, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || !self->window_) return;
    self->placing_ = false;
    if (self->maximized_) gtk_window_maximize(self->window_);
  });
}

void AppDelegate::scheduleFrameSave() {
  frameSave_.cancel();
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  frameSave_ = dispatch::mainQueue()->asyncAfter(kFrameSettle, [weak] {
    if (auto self = weak.lock()) self->saveWindowFrame();
  });
}

void AppDelegate::quit() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  // The application ends even when its frame could not be kept.
  log::guardedCallback("frame save at quit", [this] { saveWindowFrame(); });
  g_application_quit(G_APPLICATION(application_));
}

void AppDelegate::applicationWillTerminate() { saveWindowFrame(); }

void AppDelegate::saveWindowFrame() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  frameSave_.cancel();
  if (!window_ || !gtk_widget_get_realized(GTK_WIDGET(window_))) return;
  SavedWindowFrame current = currentWindowFrame(window_);
  bool fullScreen = gtk_window_is_fullscreen(window_);
  // Full screen and maximised are states of the window, not frames the user gave it: what is kept
  // is the last frame it had in neither, beside whether it is maximised (under full screen, whether
  // it was before). Until the window shows at the frame it was placed at, that frame is kept.
  if (placing_ && normalFrame_) {
    current = SavedWindowFrame{normalFrame_->frame, maximized_, normalFrame_->frameExtents};
  } else if (!current.maximized && !fullScreen) {
    normalFrame_ = current;
  } else if (normalFrame_) {
    current = SavedWindowFrame{normalFrame_->frame, fullScreen ? maximized_ : current.maximized,
                               normalFrame_->frameExtents};
  } else {
    return;  // none seen yet: the frame stored stays
  }
  (void)userDefaults_->setValue(kWindowFrameKey, encodeWindowFrame(current));
}

void AppDelegate::buildMainMenu() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto menu = app::buildMainMenu(l10n_, applicationTitle_, gtk_window_is_fullscreen(window_));
  if (menuBar_) {
    menuBar_->update(menu);
  } else {
    menuBar_ = std::make_unique<MenuBarModel>(menu);
    gtk_application_set_menubar(application_, menuBar_->model());
  }
  installMenuShortcuts(window_, menu);
}

void AppDelegate::performAction(const std::string& action) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (auto item = menuBarItemForAction(action)) {
    if (kestromApp_) kestromApp_->menuItemClicked(*item);
    return;
  }
  if (const char* command = editingCommand(action)) {
    if (webStack_) webStack_->executeEditingCommand(command);
  } else if (action == "reload") {
    if (kestromApp_) kestromApp_->reloadWebView();
  } else if (action == "toggleFullscreen") {
    if (gtk_window_is_fullscreen(window_)) {
      gtk_window_unfullscreen(window_);
    } else {
      gtk_window_fullscreen(window_);
    }
    buildMainMenu();
  } else if (action == "performZoom") {
    if (gtk_window_is_maximized(window_)) {
      gtk_window_unmaximize(window_);
    } else {
      gtk_window_maximize(window_);
    }
  } else if (action == "performMiniaturize" || action == "hide") {
    gtk_window_minimize(window_);
  } else if (action == "arrangeInFront") {
    gtk_window_present(window_);
  } else if (action == "terminate") {
    quit();
  } else if (action == "orderFrontStandardAboutPanel") {
    auto version = bundle_.infoString("CFBundleVersion").value_or("");
    gtk_show_about_dialog(window_, "program-name", applicationTitle_.c_str(), "version", version.c_str(),
                          "logo-icon-name", g_application_get_application_id(G_APPLICATION(application_)), nullptr);
  }
}

}  // namespace kestrom::app

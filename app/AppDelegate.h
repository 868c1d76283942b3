#pragma once
// The application delegate: owns the one main window, creates the kit once launching finished,
// hands it the application configuration, forwards files the desktop asks the application to
// open, places the window, installs the menu bar and turns menu actions into kit calls. It is
// also the kit's KestromKitDelegate (the window's content, the project menu items, the bundle
// folders) and builds the kit's dialog services over the window's dialogs.
//
// Home queue: main (the GTK main thread). Owned by main() for the life of the application.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/kit/KestromKit.h"
#include "app/Configuration.h"
#include "app/L10n.h"
#include "app/MainMenu.h"
#include "app/MenuBarModel.h"
#include "app/WindowPlacement.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/dispatch/Queue.h"
#include "platform/shell/Dialogs.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GtkWindow GtkWindow;
typedef struct _GSimpleAction GSimpleAction;

namespace kestrom::webview {
class WebKitWebViewStack;
}

namespace kestrom::app {

class AppDelegate final : public KestromKitDelegate, public std::enable_shared_from_this<AppDelegate> {
 public:
  /// Builds the window (not shown yet); call from the application's "startup". `arguments` are
  /// the process arguments the kit sees ("--verbose").
  static std::shared_ptr<AppDelegate> create(GtkApplication* application, std::vector<std::string> arguments);
  ~AppDelegate() override;

  /// The first "activate" or "open": creates and starts the kit, opens queued files, places and
  /// shows the window. Later calls only bring the window to the front.
  void applicationDidFinishLaunching();
  /// Files the desktop asks to open: queued (replacing an earlier queue) until the kit exists.
  void openURLs(std::vector<std::filesystem::path> urls);
  /// Keeps the window's frame for the next launch; while the window is full screen or maximised,
  /// the frame it had before.
  void saveWindowFrame();
  /// The application's quit: keeps the window's frame, then ends the application. The Quit item,
  /// SIGTERM and SIGINT come here.
  void quit();
  /// The application is ending however it was asked to (the session ends, the last window
  /// closed): keeps the frame of a window still there. From the application's "shutdown".
  void applicationWillTerminate();

  /// Menu actions by name ("newDocument", "copy", ...); nothing happens for unknown ones.
  void performAction(const std::string& action);
  void buildMainMenu();

  // KestromKitDelegate
  void setProjectAvailable(bool available) override;
  void setContentViewController(ContentViewController which) override;
  void languageChanged() override;
  std::filesystem::path variantURL() const override;
  std::filesystem::path contentURL() const override;
  std::filesystem::path webURL() const override;

  GtkWindow* window() const { return window_; }

 private:
  AppDelegate(GtkApplication* application, std::vector<std::string> arguments);
  void makeWindow();
  /// The window's dialogs with the alert's texts, the bundle's project types and the share
  /// picker, for the kit.
  std::shared_ptr<DialogServices> makeDialogServices();
  void share(std::vector<std::filesystem::path> items);
  /// Opens a handed-over file in the kit; a failure is shown to the user in an alert.
  void openProject(const std::filesystem::path& url);
  void addActions();
  void placeWindow();
  std::shared_ptr<webview::WebView> makeWebView(const webview::WebViewConfiguration& configuration);
  bool fileDroppedOnWindow(const std::filesystem::path& file);
  /// Saves the frame once the window manager's reports of a move or resize have settled.
  void scheduleFrameSave();

  GtkApplication* application_;
  std::vector<std::string> arguments_;
  const bundle::Bundle& bundle_;
  const Configuration& configuration_;
  std::string applicationTitle_;
  L10n l10n_;
  std::shared_ptr<defaults::UserDefaults> userDefaults_;
  GtkWindow* window_ = nullptr;  // owned by the application's window list; null once destroyed
  dispatch::WorkItem frameSave_;  // the pending save after a move or resize
  /// The frame the window last had neither full screen nor maximised (or was placed at): the one
  /// kept while it is in either state.
  std::optional<SavedWindowFrame> normalFrame_;
  /// Whether the window was maximised when last seen outside full screen (or is to be, while placed).
  bool maximized_ = false;
  /// From the launch's placement until the window shows at the frame it was given.
  bool placing_ = false;
  std::shared_ptr<shell::Dialogs> dialogs_;  // handed to the kit, which runs its dialogs through them
  std::shared_ptr<webview::WebKitWebViewStack> webStack_;
  std::shared_ptr<KestromKit> kestromApp_;
  std::unique_ptr<MenuBarModel> menuBar_;  // built once, updated in place
  std::vector<GSimpleAction*> projectActions_;  // the items tagged kProjectRequiredTag
  bool isProjectAvailable_ = false;
  std::vector<std::filesystem::path> initialProjectUrls_;
};

}  // namespace kestrom::app

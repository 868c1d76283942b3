#pragma once
// The WebKitGTK web view stack of the main window: one GtkOverlay holding, bottom to top, the
// view's background colour, the page's web view, the splash web view and the launch view. It
// applies the page's user scripts and console channels, loads the splash and the page, runs the
// two 0.3-second fades, and takes files dropped on the page. Home: the GTK main thread. Owned by
// the application; the kit's web view controller drives it through the WebView interface.
//
// The splash is a related view of the page: both share one web process. Until the page has shown
// itself (the splash faded out) both web views draw the launch colour where they have not painted
// yet, so no white frame shows between the launch colour, the splash and the page.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/webview/WebView.h"
#include "platform/webview/WebViewConfiguration.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitUserContentManager WebKitUserContentManager;

namespace kestrom::webview {

struct Rgba {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
};

class WebKitWebViewStack final : public WebView {
 public:
  /// `launchView` is shown on top until the splash has faded in; the stack takes a reference.
  /// `launchColor` is the launch view's colour, `background` the colour behind the web views.
  /// The page keeps its website data and caches in `dataFolder` and `cacheFolder` (WebKit's own
  /// folders when empty).
  WebKitWebViewStack(GtkWidget* launchView, Rgba launchColor, Rgba background,
                     const std::filesystem::path& dataFolder = {}, const std::filesystem::path& cacheFolder = {});
  ~WebKitWebViewStack() override;
  WebKitWebViewStack(const WebKitWebViewStack&) = delete;
  WebKitWebViewStack& operator=(const WebKitWebViewStack&) = delete;

  void setEvents(Events events) override;
  /// Adds the page's user scripts and script-message channels; call before the first page loads.
  void configure(const WebViewConfiguration& configuration);
  bool loadSplash(const std::string& html, const std::filesystem::path& baseDirectory) override;
  void revealSplash(std::function<void()> done) override;
  void hideSplash(std::function<void()> done) override;
  void loadPage(const std::string& url) override;
  void reload() override;
  void clipboardText(std::function<void(std::optional<std::string>)> completion) override;

  /// Runs one of WebKit's editing commands ("Copy", "Paste", "Cut", "SelectAll", "Undo", "Redo")
  /// in the page: the menu's Edit items and their shortcuts end here.
  void executeEditingCommand(const std::string& command);

  /// The overlay to put in the window.
  GtkWidget* widget() const { return root_; }

 private:
  struct Fade;
  struct Channel;

  void fade(GtkWidget* widget, double from, double to, GtkWidget* other, double otherTo, std::function<void()> done);
  void removeOverlay(GtkWidget*& widget);
  static void onLoadChanged(WebKitWebView* view, int event, void* self);
  static int onLoadFailed(WebKitWebView* view, int event, const char* uri, void* error, void* self);

  GtkWidget* root_ = nullptr;        // GtkOverlay, owned (ref-sunk)
  GtkWidget* background_ = nullptr;  // main child of root_
  WebKitWebView* page_ = nullptr;
  WebKitWebView* splash_ = nullptr;  // empty once removed
  GtkWidget* launchView_ = nullptr;  // empty once removed
  WebKitUserContentManager* contentManager_ = nullptr;
  Events events_;
  std::vector<std::unique_ptr<Channel>> channels_;
  struct CookieWait;
  /// While the session cookie is being added: where a page load waits (none once it is in).
  std::shared_ptr<CookieWait> cookieWait_;
  std::vector<unsigned> timeouts_;  // running fade sources, removed on destruction
  Rgba backgroundColor_;
  bool pageLoadFailed_ = false;  // the page's current load failed: its "finished" is no success
};

}  // namespace kestrom::webview

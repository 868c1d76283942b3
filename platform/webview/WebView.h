#pragma once
// The web view stack of the window as the web view controller drives it: the page's web view,
// a splash web view, and the launch view on top. The WebKitGTK backend lives beside this file;
// headless runs use NullWebView (platform/webview/NullWebView.h). Main thread only.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace kestrom::webview {

class WebView {
 public:
  /// What the stack reports back, on the main thread.
  struct Events {
    std::function<void()> splashFinished;  // the splash page finished loading
    std::function<void()> pageFinished;    // the page finished loading (not after a failure)
    /// The page's load failed (`uri`, what went wrong); no pageFinished follows.
    std::function<void(const std::string& uri, const std::string& message)> pageFailed;
    /// A file was dropped on the page; true when it was taken.
    std::function<bool(const std::filesystem::path&)> fileDropped;
  };

  virtual ~WebView() = default;

  virtual void setEvents(Events events) = 0;
  /// Shows `html` in the splash view with `baseDirectory` as its base; false when nothing loads.
  virtual bool loadSplash(const std::string& html, const std::filesystem::path& baseDirectory) = 0;
  /// Cross-fades from the launch view to the splash (about 0.3 s); `done` runs afterwards.
  virtual void revealSplash(std::function<void()> done) = 0;
  /// Fades the splash out (about 0.3 s); `done` runs afterwards.
  virtual void hideSplash(std::function<void()> done) = 0;
  virtual void loadPage(const std::string& url) = 0;
  virtual void reload() = 0;
  /// The first text on the clipboard, when there is one (may finish later: async completion).
  virtual void clipboardText(std::function<void(std::optional<std::string>)> completion) = 0;
};

}  // namespace kestrom::webview

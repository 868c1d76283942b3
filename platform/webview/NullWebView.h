#pragma once
// A web view stack with no window, for the headless host and tests: the splash "loads" at once
// (its events run through the main queue like the real ones) and pages are not shown.

#include <string>
#include <optional>

#include "platform/webview/WebView.h"

namespace kestrom::webview {

class NullWebView final : public WebView {
 public:
  void setEvents(Events events) override;
  bool loadSplash(const std::string& html, const std::filesystem::path& baseDirectory) override;
  void revealSplash(std::function<void()> done) override;
  void hideSplash(std::function<void()> done) override;
  void loadPage(const std::string& url) override;
  void reload() override;
  void clipboardText(std::function<void(std::optional<std::string>)> completion) override;

  /// What clipboardText() answers.
  std::optional<std::string> clipboard;
  /// When set, the next page load fails with this message instead of finishing.
  std::optional<std::string> failNextPage;

 private:
  Events events_;
};

}  // namespace kestrom::webview

#include "platform/webview/NullWebView.h"

#include <utility>

#include "platform/dispatch/Queue.h"

namespace kestrom::webview {

void NullWebView::setEvents(Events events) { events_ = std::move(events); }

bool NullWebView::loadSplash(const std::string&, const std::filesystem::path&) {
  dispatch::mainQueue()->async([finished = events_.splashFinished] {
    if (finished) finished();
  });
  return true;
}

void NullWebView::revealSplash(std::function<void()> done) { dispatch::mainQueue()->async(std::move(done)); }

void NullWebView::hideSplash(std::function<void()> done) { dispatch::mainQueue()->async(std::move(done)); }

void NullWebView::loadPage(const std::string& url) {
  if (auto failure = std::exchange(failNextPage, std::nullopt)) {
    dispatch::mainQueue()->async([failed = events_.pageFailed, url, message = *failure] {
      if (failed) failed(url, message);
    });
    return;
  }
  dispatch::mainQueue()->async([finished = events_.pageFinished] {
    if (finished) finished();
  });
}

void NullWebView::reload() {}

void NullWebView::clipboardText(std::function<void(std::optional<std::string>)> completion) {
  completion(clipboard);
}

}  // namespace kestrom::webview

#pragma once
// What a web view is built with: user scripts injected into every page and the named
// script-message channels the page posts to (window.webkit.messageHandlers.<name>.postMessage).
// Plain values, so the kit can decide them without a display; the WebKitGTK backend applies them.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrom::webview {

struct UserScript {
  enum class InjectionTime { documentStart, documentEnd };
  std::string source;
  InjectionTime injectionTime = InjectionTime::documentEnd;
  bool mainFrameOnly = true;
};

/// Receives what the page posts to one channel. Called on the main thread.
class ScriptMessageHandler {
 public:
  virtual ~ScriptMessageHandler() = default;
  /// `body` is the posted value as JSON (a string arrives as a JSON string).
  virtual void didReceiveScriptMessage(const nlohmann::ordered_json& body) = 0;
};

/// A cookie put into the web view's cookie store (HttpOnly, path "/") before the page first loads.
struct Cookie {
  std::string name;
  std::string value;
  std::string domain;
};

struct WebViewConfiguration {
  std::vector<UserScript> userScripts;  // in injection order
  std::vector<std::pair<std::string, std::shared_ptr<ScriptMessageHandler>>> messageHandlers;
  /// Media may play without a user gesture.
  bool mediaPlaybackRequiresUserAction = false;
  /// The host's per-launch secret, which every request of the page to the host's servers must
  /// carry; the page loads only once it is in the store.
  std::optional<Cookie> sessionCookie;
  /// Where the web view keeps the page's website data (local storage, IndexedDB, media keys) and
  /// its caches; empty leaves WebKit's own folders, named after the program.
  std::filesystem::path websiteDataFolder;
  std::filesystem::path websiteCacheFolder;
};

}  // namespace kestrom::webview

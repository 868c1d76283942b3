#pragma once
// The handlers of the page's console channels: "logging" (kept for the page's sake, ignores every
// line) and "fileLogging" (writes to the file log: error lines only, or every line when verbose).
// The web view calls them on the main queue; they keep no state that changes. Owned by the web
// view's configuration.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "KestromKit/host/LogWriter.h"
#include "platform/webview/WebViewConfiguration.h"

namespace kestrom {

/// Writes console lines to the file log; when not verbose, only lines that start "📕 JS error".
class FileLoggingMessageHandler final : public webview::ScriptMessageHandler {
 public:
  static constexpr std::string_view kErrorPrefix = "\xF0\x9F\x93\x95 JS error";  // 13 bytes

  FileLoggingMessageHandler(std::shared_ptr<LogWriter> logWriter, bool verbose)
      : logWriter_(std::move(logWriter)), verbose_(verbose) {}

  void didReceiveScriptMessage(const nlohmann::ordered_json& body) override;
  bool verbose() const { return verbose_; }

 private:
  std::shared_ptr<LogWriter> logWriter_;
  bool verbose_;
};

/// The "logging" channel: the page may post to it; nothing is done with the lines.
class LoggingMessageHandler final : public webview::ScriptMessageHandler {
 public:
  void didReceiveScriptMessage(const nlohmann::ordered_json&) override {}
};

/// Stands in on "fileLogging" when the file log is off.
class NoopMessageHandler final : public webview::ScriptMessageHandler {
 public:
  void didReceiveScriptMessage(const nlohmann::ordered_json&) override {}
};

/// The handler "fileLogging" gets for a log level.
std::shared_ptr<webview::ScriptMessageHandler> makeFileLoggingHandler(const LogWriterLevel& level);

/// The page's web view configuration: the three document-end scripts that stop text selection,
/// callouts and the context menu; then, when `consoleScript` is given, the "logging" and
/// "fileLogging" channels and the console script itself at document start. Media plays without a
/// gesture.
webview::WebViewConfiguration makeWebViewConfiguration(const std::optional<std::string>& consoleScript,
                                                       const LogWriterLevel& level);

/// The text of "override-console.js" in the bundle folder, when it is there and readable.
std::optional<std::string> readConsoleScript(const std::filesystem::path& bundleDirectory);

}  // namespace kestrom

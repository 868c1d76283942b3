#include "KestromKit/host/ConsoleMessageHandlers.h"

#include <fstream>
#include <sstream>

namespace kestrom {

void FileLoggingMessageHandler::didReceiveScriptMessage(const nlohmann::ordered_json& body) {
  if (!body.is_string() || !logWriter_) return;
  const auto& text = body.get_ref<const std::string&>();
  if (!verbose_ && !text.starts_with(kErrorPrefix)) return;
  logWriter_->write(text);
}

std::shared_ptr<webview::ScriptMessageHandler> makeFileLoggingHandler(const LogWriterLevel& level) {
  switch (level.kind()) {
    case LogWriterLevel::Kind::error:
      return std::make_shared<FileLoggingMessageHandler>(level.writer(), false);
    case LogWriterLevel::Kind::verbose:
      return std::make_shared<FileLoggingMessageHandler>(level.writer(), true);
    case LogWriterLevel::Kind::none:
      break;
  }
  return std::make_shared<NoopMessageHandler>();
}

webview::WebViewConfiguration makeWebViewConfiguration(const std::optional<std::string>& consoleScript,
                                                       const LogWriterLevel& level) {
  using webview::UserScript;
  webview::WebViewConfiguration configuration;
  for (const char* source : {"document.documentElement.style.webkitUserSelect='none';",
                             "document.documentElement.style.webkitTouchCallout='none';",
                             "document.body.addEventListener('contextmenu', (e) => e.preventDefault())"}) {
    configuration.userScripts.push_back({source, UserScript::InjectionTime::documentEnd, true});
  }
  if (consoleScript) {
    configuration.messageHandlers.emplace_back("logging", std::make_shared<LoggingMessageHandler>());
    configuration.messageHandlers.emplace_back("fileLogging", makeFileLoggingHandler(level));
    configuration.userScripts.push_back({*consoleScript, UserScript::InjectionTime::documentStart, true});
  }
  configuration.mediaPlaybackRequiresUserAction = false;
  return configuration;
}

std::optional<std::string> readConsoleScript(const std::filesystem::path& bundleDirectory) {
  std::ifstream in(bundleDirectory / "override-console.js", std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

}  // namespace kestrom

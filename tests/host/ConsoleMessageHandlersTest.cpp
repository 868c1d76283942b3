#include "KestromKit/host/ConsoleMessageHandlers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace kestrom {
namespace {

class RecordingWriter final : public LogWriter {
 public:
  void write(const std::string& text) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

const std::string kBook = "\xF0\x9F\x93\x95";

TEST(FileLoggingMessageHandlerTest, KeepsOnlyErrorLinesUnlessVerbose) {
  struct Case {
    nlohmann::ordered_json body;
    bool keptQuiet;
    bool keptVerbose;
  };
  const Case cases[] = {
      {kBook + " JS error: something broke", true, true},
      {kBook + " JS error", true, true},
      {"\xF0\x9F\x93\x99 JS warning: careful", false, true},
      {"JS error without the book", false, true},
      {" " + kBook + " JS error: leading space", false, true},
      {kBook + "JS error: no space", false, true},
      {"", false, true},
      {42, false, false},
      {nlohmann::ordered_json::object({{"text", kBook + " JS error"}}), false, false},
      {nullptr, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.dump());
    for (bool verbose : {false, true}) {
      auto writer = std::make_shared<RecordingWriter>();
      FileLoggingMessageHandler handler(writer, verbose);
      handler.didReceiveScriptMessage(c.body);
      bool expected = verbose ? c.keptVerbose : c.keptQuiet;
      ASSERT_EQ(writer->lines.size(), expected ? 1u : 0u) << "verbose " << verbose;
      if (expected) {
        EXPECT_EQ(writer->lines[0], c.body.get<std::string>());
      }
    }
  }
}

TEST(MakeFileLoggingHandlerTest, ChoosesTheHandlerByLevel) {
  auto writer = std::make_shared<RecordingWriter>();
  auto quiet = std::dynamic_pointer_cast<FileLoggingMessageHandler>(makeFileLoggingHandler(LogWriterLevel::error(writer)));
  ASSERT_TRUE(quiet);
  EXPECT_FALSE(quiet->verbose());
  auto loud = std::dynamic_pointer_cast<FileLoggingMessageHandler>(makeFileLoggingHandler(LogWriterLevel::verbose(writer)));
  ASSERT_TRUE(loud);
  EXPECT_TRUE(loud->verbose());
  EXPECT_TRUE(std::dynamic_pointer_cast<NoopMessageHandler>(makeFileLoggingHandler(LogWriterLevel::none())));
}

TEST(MakeWebViewConfigurationTest, AddsTheConsoleChannelsAndScriptOnlyWithAConsoleScript) {
  auto writer = std::make_shared<RecordingWriter>();
  using Time = webview::UserScript::InjectionTime;

  auto without = makeWebViewConfiguration(std::nullopt, LogWriterLevel::error(writer));
  ASSERT_EQ(without.userScripts.size(), 3u);
  EXPECT_TRUE(without.messageHandlers.empty());
  EXPECT_FALSE(without.mediaPlaybackRequiresUserAction);
  for (const auto& script : without.userScripts) {
    EXPECT_EQ(script.injectionTime, Time::documentEnd);
    EXPECT_TRUE(script.mainFrameOnly);
  }
  EXPECT_EQ(without.userScripts[0].source, "document.documentElement.style.webkitUserSelect='none';");
  EXPECT_EQ(without.userScripts[2].source, "document.body.addEventListener('contextmenu', (e) => e.preventDefault())");

  auto with = makeWebViewConfiguration(std::string("console.log = () => {}"), LogWriterLevel::error(writer));
  ASSERT_EQ(with.userScripts.size(), 4u);
  EXPECT_EQ(with.userScripts[3].source, "console.log = () => {}");
  EXPECT_EQ(with.userScripts[3].injectionTime, Time::documentStart);
  ASSERT_EQ(with.messageHandlers.size(), 2u);
  EXPECT_EQ(with.messageHandlers[0].first, "logging");
  EXPECT_EQ(with.messageHandlers[1].first, "fileLogging");

  // Lines posted to "logging" go nowhere; error lines posted to "fileLogging" reach the file log.
  with.messageHandlers[0].second->didReceiveScriptMessage(kBook + " JS error: to logging");
  with.messageHandlers[1].second->didReceiveScriptMessage(kBook + " JS error: to fileLogging");
  ASSERT_EQ(writer->lines.size(), 1u);
  EXPECT_EQ(writer->lines[0], kBook + " JS error: to fileLogging");
}

TEST(ReadConsoleScriptTest, ReadsTheBundlesScriptAndAnswersNothingWithoutIt) {
  std::string pattern = (std::filesystem::temp_directory_path() / "console-script.XXXXXX").string();
  std::filesystem::path folder = ::mkdtemp(pattern.data());
  EXPECT_FALSE(readConsoleScript(folder));
  { std::ofstream(folder / "override-console.js") << "// forwards\n"; }
  EXPECT_EQ(readConsoleScript(folder), "// forwards\n");
  std::filesystem::remove_all(folder);

  if (const char* bundle = std::getenv("KESTROM_BUNDLE_DIR")) {
    auto sample = readConsoleScript(bundle);
    ASSERT_TRUE(sample);
    EXPECT_NE(sample->find("fileLogging"), std::string::npos);
  }
}

}  // namespace
}  // namespace kestrom

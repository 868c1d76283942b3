#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <thread>
#include <vector>

namespace kestrom::log {
namespace {

TEST(LogTest, PrintfStyleFormatsProduceTheExpectedText) {
  ScopedRecording recording;
  const Logger logger("kit", "WebSocket");
  const std::string connection = "ws-1";
  logger.info("%s Sending message: %s", connection, "hello");
  logger.info("%.2f", 3.14159);
  logger.info("%d of %d", 3, 10);
  logger.info("100% literal, no arguments");
  const std::vector<std::string> expected = {"ws-1 Sending message: hello", "3.14", "3 of 10",
                                             "100% literal, no arguments"};
  auto records = recording.sink().records();
  ASSERT_EQ(records.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i]);
    EXPECT_EQ(records[i].message, expected[i]);
  }
}

TEST(LogTest, BadFormatIsLoggedInsteadOfCrashing) {
  ScopedRecording recording;
  const Logger logger("kit", "General");
  logger.error("%s and %s", "only one");
  logger.error("%d", "not a number");
  logger.error("%", 1);
  auto records = recording.sink().records();
  ASSERT_EQ(records.size(), 3u);
  for (const auto& record : records) {
    SCOPED_TRACE(record.message);
    EXPECT_NE(record.message.find("format error"), std::string::npos);
  }
  EXPECT_EQ(records[0].message.rfind("%s and %s", 0), 0u) << "the format itself is kept";
}

TEST(LogTest, RecordingSinkSeesChannelLevelAndMessage) {
  ScopedRecording recording;
  Logger("kit.id", "Bluetooth").fault("Hub %s lost", "A1");
  Logger("kit.id", "Audio").debug("level %d", 3);
  auto records = recording.sink().records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].subsystem, "kit.id");
  EXPECT_EQ(records[0].category, "Bluetooth");
  EXPECT_EQ(records[0].level, Level::fault);
  EXPECT_EQ(records[1].level, Level::debug);
  EXPECT_TRUE(recording.sink().contains("Bluetooth", "A1 lost"));
  EXPECT_FALSE(recording.sink().contains("Audio", "A1 lost"));
  recording.sink().clear();
  EXPECT_TRUE(recording.sink().records().empty());
}

TEST(LogTest, ScopedRecordingsNestAndPutTheOldSinkBack) {
  auto before = currentSink();
  {
    ScopedRecording outer;
    {
      ScopedRecording inner;
      Logger("s", "c").info("inner");
      EXPECT_TRUE(inner.sink().contains("c", "inner"));
    }
    Logger("s", "c").info("outer");
    EXPECT_TRUE(outer.sink().contains("c", "outer"));
    EXPECT_FALSE(outer.sink().contains("c", "inner"));
  }
  EXPECT_EQ(currentSink(), before);
}

TEST(LogTest, SinkMayBeSwappedWhileOtherThreadsLog) {
  ScopedRecording recording;
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> written{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&] {
      while (!stop) {
        Logger("s", "race").info("%d", 1);
        ++written;
      }
    });
  }
  std::vector<std::shared_ptr<RecordingSink>> swapped;
  for (int i = 0; i < 200; ++i) {
    for (auto before = written.load(); written == before;) std::this_thread::yield();  // lines between swaps
    installSink(swapped.emplace_back(std::make_shared<RecordingSink>()));
  }
  stop = true;
  for (auto& writer : writers) writer.join();
  // Each line reached exactly one of the sinks, whole.
  std::size_t received = 0;
  for (const auto& record : recording.sink().records()) received += record.message == "1";
  for (const auto& sink : swapped)
    for (const auto& record : sink->records()) received += record.message == "1";
  EXPECT_EQ(received, written.load());
}

TEST(LogTest, DefaultSinkWritesTimeLevelChannelAndMessageToStderr) {
  auto previous = installSink(nullptr);
  testing::internal::CaptureStderr();
  Logger("kit.id", "WebServer").error("Port %d is taken", 8080);
  std::string text = testing::internal::GetCapturedStderr();
  installSink(previous);
  EXPECT_NE(text.find("kit.id:WebServer Port 8080 is taken"), std::string::npos) << text;
  EXPECT_NE(text.find("error"), std::string::npos) << text;
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text[0]))) << text;  // starts with the date
}

TEST(LogTest, TextArgumentsCannotBreakTheLine) {
  ScopedRecording recording;
  Logger logger("test", "Escape");
  std::string forged = "a\r\nFORGED line\t\x01\x7f";
  const char* pointer = "b\nc";
  const char* none = nullptr;
  logger.error("%s | %s | %d | %s", forged, pointer, 7, none);
  auto records = recording.sink().records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "a\\r\\nFORGED line\\t\\x01\\x7f | b\\nc | 7 | (null)");
  logger.info("format\nitself");  // the format is the program's own and stays as written
  EXPECT_EQ(recording.sink().records().back().message, "format\nitself");
  EXPECT_EQ(escapeControlCharacters("plain ü"), "plain ü");
}

}  // namespace
}  // namespace kestrom::log

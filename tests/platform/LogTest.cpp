#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"
#include "platform/log/RateLimit.h"
#include "platform/log/RequestValue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <regex>
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

TEST(LogTest, ValuesFromRequestsAreCutWithTheirLengthAndHostsDecodedBeforeRedaction) {
  ScopedRecording recording;
  const Logger logger("kit.id", "WebServer");
  // 64 KiB, with a two-byte character across the cut.
  const std::string path = "/" + std::string(118, 'a') + "é" + std::string(65536 - 121, 'b');
  logger.error("%d | Refused a request for %s without the session cookie", 403, requestValue(path));
  EXPECT_EQ(requestValue("/index.html"), "/index.html");
  // A Host that spells a secret in percent escapes, under a redaction of that secret.
  Redaction redaction([](std::string line) {
    for (std::size_t at; (at = line.find("5ec2e7d1")) != std::string::npos;) line.replace(at, 8, "(left out)");
    return line;
  });
  logger.info("Refused WebSocket upgrade with Host: %s", decodedRequestValue("%35ec2%65%37d1.example"));

  const auto records = recording.sink().records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_LE(records[0].message.size(), 200u);
  EXPECT_NE(records[0].message.find("/" + std::string(118, 'a') + "… (65536 bytes) without"), std::string::npos)
      << records[0].message.substr(0, 300);
  EXPECT_EQ(records[1].message, "Refused WebSocket upgrade with Host: (left out).example");
}

TEST(LogTest, LineSeparatorsC1AndBidiControlsAreEscapedAndOtherCharactersKept) {
  EXPECT_EQ(escapeControlCharacters("/\u202egpj.exe"), "/\\u202egpj.exe");
  EXPECT_EQ(escapeControlCharacters("a\u2028b\u2029c\u0085d"), "a\\u2028b\\u2029c\\x85d");
  EXPECT_EQ(escapeControlCharacters("\u0080\u009f\u200e\u200f\u202a\u2066\u2069"),
            "\\x80\\x9f\\u200e\\u200f\\u202a\\u2066\\u2069");
  const std::string kept = "é 中 😀 \u00a0\u2027\u202f\u2065\u206a";
  EXPECT_EQ(escapeControlCharacters(kept), kept);
  // Bytes that are no UTF-8 pass as they are, including a cut-off separator.
  const std::string invalid = "\xff\xc2 \xe2\x80 \xe2\x80\x41 \xc0\x8a";
  EXPECT_EQ(escapeControlCharacters(invalid), invalid);
  ScopedRecording recording;
  Logger("kit.id", "WebServer").error("%d | %s", 404, "/\u202egpj.exe\u2028FORGED");
  EXPECT_EQ(recording.sink().records().at(0).message, "404 | /\\u202egpj.exe\\u2028FORGED");
}

TEST(LogTest, ARateLimitWritesItsCountOnceDueWithoutAnotherLineAndWhenItEnds) {
  ScopedRecording recording;
  const Logger logger("kit.id", "WebServer");
  std::vector<RateLimit::Clock::time_point> armed;
  {
    RateLimit limit(3, [&](RateLimit::Clock::time_point due) { armed.push_back(due); });
    for (int i = 0; i < 100; ++i) limit.write(logger, Level::error, "%d | Refused \"/debug\" guess %d", 403, i);
    ASSERT_FALSE(armed.empty()) << "a count waits: the owner is asked for a timer";
    const auto due = limit.countDue();
    ASSERT_TRUE(due);
    EXPECT_EQ(*due, armed.back());
    const std::size_t before = recording.sink().records().size();
    limit.writeDueCount(*due - std::chrono::milliseconds(1));
    EXPECT_EQ(recording.sink().records().size(), before) << "not before it is due";
    limit.writeDueCount(*due);
    ASSERT_EQ(recording.sink().records().size(), before + 1);
    const std::regex countLine(R"(^Left out \d+ more like it since the last one logged: )"
                               R"(403 \| Refused "/debug" guess \d+$)");
    EXPECT_TRUE(std::regex_search(recording.sink().records().back().message, countLine))
        << recording.sink().records().back().message;
    EXPECT_FALSE(limit.countDue());
    for (int i = 0; i < 10; ++i) limit.write(logger, Level::error, "%d | Refused \"/debug\" guess %d", 403, i);
  }
  const auto records = recording.sink().records();
  EXPECT_EQ(records.back().message.rfind("Left out ", 0), 0u) << "the last count, at the end: "
                                                                << records.back().message;
  std::uint64_t lines = 0;
  const std::regex count(R"((\d+) more like it since the last one logged)");
  for (const auto& record : records) {
    std::smatch found;
    if (std::regex_search(record.message, found, count)) lines += std::stoull(found[1]);
    if (record.message.rfind("Left out ", 0) != 0) ++lines;
  }
  EXPECT_EQ(lines, 110u) << "each line is written or in a count";
}

}  // namespace
}  // namespace kestrom::log

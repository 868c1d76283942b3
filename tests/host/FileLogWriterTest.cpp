#include "KestromKit/host/FileLogWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "filelog.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

void fillFile(const fs::path& path, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << std::string(size, 'x');
}

const std::regex kStampedLine(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z: (.*)$)");

TEST(FileLogWriterTest, CreatesTheLogsFolderAndFileOnFirstStart) {
  TempFolder folder;
  FileLogWriter writer(folder.path());
  EXPECT_EQ(writer.filePath(), folder.path() / "logs" / "ostrel.log");
  EXPECT_TRUE(fs::is_regular_file(writer.filePath()));
  EXPECT_TRUE(writer.isOpen());
  EXPECT_EQ(fs::file_size(writer.filePath()), 0u);
}

TEST(FileLogWriterTest, WritesOneStampedLinePerMessageAndAppendsToAnExistingFile) {
  TempFolder folder;
  fs::create_directories(folder.path() / "logs");
  { std::ofstream(folder.path() / "logs" / "ostrel.log") << "earlier line\n"; }
  FileLogWriter writer(folder.path());
  writer.write("\xF0\x9F\x93\x95 JS error: first");
  writer.write("second: with \"quotes\" and ü");

  auto written = lines(readFile(writer.filePath()));
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0], "earlier line");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(written[1], match, kStampedLine)) << written[1];
  EXPECT_EQ(match[1], "\xF0\x9F\x93\x95 JS error: first");
  ASSERT_TRUE(std::regex_match(written[2], match, kStampedLine)) << written[2];
  EXPECT_EQ(match[1], "second: with \"quotes\" and ü");
}

TEST(FileLogWriterTest, RestartsTheFileOnlyFromOneMebibyteOn) {
  struct Case {
    std::size_t size;
    bool restarted;
  };
  for (auto c : {Case{FileLogWriter::kMaxLogSize - 1, false}, Case{FileLogWriter::kMaxLogSize, true},
                 Case{FileLogWriter::kMaxLogSize + 4096, true}}) {
    SCOPED_TRACE(c.size);
    TempFolder folder;
    FileLogWriter writer(folder.path());
    fillFile(writer.filePath(), c.size);
    writer.write("next");
    auto text = readFile(writer.filePath());
    if (c.restarted) {
      auto written = lines(text);
      ASSERT_EQ(written.size(), 1u);
      std::smatch match;
      ASSERT_TRUE(std::regex_match(written[0], match, kStampedLine));
      EXPECT_EQ(match[1], "next");
    } else {
      EXPECT_GT(text.size(), c.size);
      EXPECT_EQ(text.substr(0, c.size), std::string(c.size, 'x'));
      EXPECT_TRUE(text.ends_with(": next\n"));
    }
  }
}

TEST(FileLogWriterTest, KeepsWritingToTheNewFileAfterARestart) {
  TempFolder folder;
  FileLogWriter writer(folder.path());
  fillFile(writer.filePath(), FileLogWriter::kMaxLogSize);
  writer.write("restart line");
  writer.write("after restart 1");
  writer.write("after restart 2");

  auto written = lines(readFile(writer.filePath()));
  ASSERT_EQ(written.size(), 3u);
  EXPECT_TRUE(written[0].ends_with(": restart line"));
  EXPECT_TRUE(written[1].ends_with(": after restart 1"));
  EXPECT_TRUE(written[2].ends_with(": after restart 2"));
  // No temporary file is left beside the log.
  EXPECT_EQ(std::distance(fs::directory_iterator(writer.filePath().parent_path()), fs::directory_iterator()), 1);
}

TEST(FileLogWriterTest, AFileRemovedUnderneathIsStartedAgainWithTheNextLine) {
  log::ScopedRecording recording;
  TempFolder folder;
  FileLogWriter writer(folder.path());
  writer.write("one");
  fs::remove(writer.filePath());
  writer.write("two");
  writer.write("three");

  auto written = lines(readFile(writer.filePath()));
  ASSERT_EQ(written.size(), 2u);
  EXPECT_TRUE(written[0].ends_with(": two"));
  EXPECT_TRUE(written[1].ends_with(": three"));
  EXPECT_TRUE(recording.sink().contains("General", "Cant get attributes for file at path: "));
}

TEST(FileLogWriterTest, DropsEveryLineWhenTheFileCannotBeCreated) {
  log::ScopedRecording recording;
  TempFolder folder;
  { std::ofstream(folder.path() / "logs") << "a file where the folder should be"; }
  FileLogWriter writer(folder.path());
  EXPECT_FALSE(writer.isOpen());
  writer.write("lost");
  EXPECT_EQ(readFile(folder.path() / "logs"), "a file where the folder should be");
  EXPECT_TRUE(recording.sink().contains("General", "Unable to create log file at path: " +
                                                       (folder.path() / "logs" / "ostrel.log").string()));
}

TEST(FileLogWriterTest, DropsTextThatIsNotUtf8) {
  TempFolder folder;
  FileLogWriter writer(folder.path());
  writer.write(std::string("bad \xC3\x28 bytes"));
  writer.write("good");
  auto written = lines(readFile(writer.filePath()));
  ASSERT_EQ(written.size(), 1u);
  EXPECT_TRUE(written[0].ends_with(": good"));
}

TEST(FileLogWriterTest, LinesFromManyThreadsStayWhole) {
  TempFolder folder;
  FileLogWriter writer(folder.path());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&writer, t] {
      for (int i = 0; i < 50; ++i) writer.write("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();
  auto written = lines(readFile(writer.filePath()));
  ASSERT_EQ(written.size(), 200u);
  for (const auto& line : written) EXPECT_TRUE(std::regex_match(line, kStampedLine)) << line;
}

}  // namespace
}  // namespace kestrom

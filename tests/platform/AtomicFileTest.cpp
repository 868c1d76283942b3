#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "platform/files/AtomicFile.h"
#include "tests/support/TempFolder.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;

/// A fresh folder per test, removed afterwards.
class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(folder_, fs::perms::owner_all, ignored);  // so that it can be removed
  }

  static void put(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
  static std::string get(const fs::path& file) {
    auto content = AtomicFile::read(file);
    return content ? *content : "<unreadable: " + content.error().message() + ">";
  }
  std::set<std::string> names() const {
    std::set<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder_)) out.insert(entry.path().filename().string());
    return out;
  }

  test::TempFolder temp_{"kestrom-atomicfile"};
  const fs::path& folder_ = temp_.path();
};

TEST_F(AtomicFileTest, WritesANewFileAndReplacesAnExistingOneLeavingNothingBehind) {
  const auto file = folder_ / "settings.json";
  ASSERT_TRUE(AtomicFile::write(file, R"({"a":1})"));
  EXPECT_EQ(get(file), R"({"a":1})");
  ASSERT_TRUE(AtomicFile::write(file, ""));
  EXPECT_EQ(get(file), "");
  const std::string big(300 * 1024, 'x');  // more than one write call's worth
  ASSERT_TRUE(AtomicFile::write(file, big));
  EXPECT_EQ(get(file), big);
  EXPECT_EQ(names(), std::set<std::string>{"settings.json"});
}

TEST_F(AtomicFileTest, EveryFailingStepLeavesTheOldFileWholeAndNoTemporaryFile) {
  const auto file = folder_ / "index.json";
  put(file, "old content");
  int failures = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE("failing step " + std::to_string(n));
    ASSERT_LT(n, 50) << "the write never succeeded";
    AtomicFile::testing::failNthStep(n);
    auto written = AtomicFile::write(file, "new content");
    if (written) {
      EXPECT_EQ(get(file), "new content");
      EXPECT_EQ(n, AtomicFile::testing::lastStepCount() + 1);  // every step was failed once
      break;
    }
    ++failures;
    EXPECT_EQ(written.error(), std::error_code(EIO, std::generic_category()));
    const std::string now = get(file);
    // Only a failure to flush the folder after the rename may leave the new content in place.
    EXPECT_TRUE(now == "old content" || (now == "new content" && n >= AtomicFile::testing::lastStepCount() - 1))
        << now;
    if (now == "new content") put(file, "old content");
    EXPECT_EQ(names(), std::set<std::string>{"index.json"});
  }
  EXPECT_GE(failures, 6);
}

TEST_F(AtomicFileTest, MissingOrReadOnlyFolderFailsWithoutCreatingAnything) {
  auto missing = AtomicFile::write(folder_ / "absent" / "file.json", "x");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::make_error_code(std::errc::no_such_file_or_directory));
  EXPECT_TRUE(names().empty());

  if (::geteuid() == 0) {
    // Permission bits do not stop root; sysfs refuses new files to everyone.
    auto refused = AtomicFile::write("/sys/kestrom-atomicfile-test.json", "x");
    ASSERT_FALSE(refused);
    EXPECT_FALSE(fs::exists("/sys/kestrom-atomicfile-test.json"));
    return;
  }
  const auto file = folder_ / "kept.json";
  put(file, "kept");
  fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
  auto refused = AtomicFile::write(file, "replacement");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), std::make_error_code(std::errc::permission_denied));
  EXPECT_FALSE(AtomicFile::setAsideCorrupt(file));
  fs::permissions(folder_, fs::perms::owner_all);
  EXPECT_EQ(get(file), "kept");
  EXPECT_EQ(names(), std::set<std::string>{"kept.json"});
}

TEST_F(AtomicFileTest, KeepsThePermissionBitsOfTheFileItReplaces) {
  const auto file = folder_ / "private.json";
  put(file, "a");
  ::chmod(file.c_str(), 0640);
  ASSERT_TRUE(AtomicFile::write(file, "b"));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(AtomicFileTest, SetAsideNeverReplacesAnEarlierSetAsideFile) {
  const auto file = folder_ / "userSettings.json";
  for (const char* content : {"first [", "second {", "third \"}"}) {
    put(file, content);
    auto aside = AtomicFile::setAsideCorrupt(file);
    ASSERT_TRUE(aside) << aside.error().message();
    EXPECT_EQ(get(*aside), content);
    EXPECT_FALSE(fs::exists(file));
  }
  EXPECT_EQ(names(), (std::set<std::string>{"userSettings.json.corrupt", "userSettings.json.1.corrupt",
                                            "userSettings.json.2.corrupt"}));
  EXPECT_EQ(get(folder_ / "userSettings.json.corrupt"), "first [");
  EXPECT_EQ(get(folder_ / "userSettings.json.2.corrupt"), "third \"}");

  auto missing = AtomicFile::setAsideCorrupt(folder_ / "nothing.json");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::make_error_code(std::errc::no_such_file_or_directory));
}

TEST_F(AtomicFileTest, ReadReportsAMissingFile) {
  auto missing = AtomicFile::read(folder_ / "none");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::make_error_code(std::errc::no_such_file_or_directory));
}

TEST_F(AtomicFileTest, AReaderNeverSeesAHalfWrittenFile) {
  const auto file = folder_ / "busy.json";
  const std::string a(64 * 1024, 'a');
  const std::string b(64 * 1024, 'b');
  ASSERT_TRUE(AtomicFile::write(file, a));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(AtomicFile::write(file, i % 2 ? a : b));
    done = true;
  });
  int reads = 0;
  while (!done) {
    auto content = AtomicFile::read(file);
    ASSERT_TRUE(content);
    ASSERT_TRUE(*content == a || *content == b) << "mixed content of " << content->size() << " bytes";
    ++reads;
  }
  writer.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(names(), std::set<std::string>{"busy.json"});
}

}  // namespace
}  // namespace kestrom

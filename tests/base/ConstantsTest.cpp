#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <string>
#include <vector>

#include "KestromKit/base/Constants.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;

TEST(ConstantsTest, LogTableHasTenChannelsOfOneSubsystemInOrder) {
  const auto& table = Constants::log();
  const std::vector<const log::Logger*> channels = {
      &table.general,   &table.audio,           &table.webServer, &table.bluetooth,  &table.javaScript,
      &table.webSocketServer, &table.webSocket, &table.sensorData, &table.webView,   &table.projects};
  const std::vector<std::string> categories = {"General",         "Audio",     "WebServer",  "Bluetooth",
                                               "JavaScript",      "WebSocketServer", "WebSocket", "SensorData",
                                               "WebView",         "Projects"};
  ASSERT_EQ(sizeof(Constants::LogTable), channels.size() * sizeof(log::Logger));
  for (std::size_t i = 0; i < channels.size(); ++i) {
    SCOPED_TRACE(categories[i]);
    EXPECT_EQ(channels[i]->subsystem(), Constants::kitBundleIdentifier());
    EXPECT_EQ(channels[i]->category(), categories[i]);
  }
  EXPECT_EQ(&Constants::log(), &table);
}

TEST(ConstantsTest, FoldersFollowTheXdgVariablesAndTheTemporaryFolderIsPrivate) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, where nothing is computed yet
  // The child runs this test again from its start: it takes the parent's folder, not one of its own.
  constexpr const char* kBaseVariable = "KESTROM_CONSTANTS_TEST_BASE";
  std::string base;
  if (const char* given = std::getenv(kBaseVariable)) {
    base = given;
  } else {
    base = (fs::temp_directory_path() / "constants-test-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(base.data()));
    ::setenv(kBaseVariable, base.c_str(), 1);
  }
  EXPECT_EXIT(
      {
        ::setenv("HOME", "/home/someone", 1);
        ::setenv("XDG_CACHE_HOME", "/x/cache", 1);
        ::setenv("XDG_DATA_HOME", "/x/data", 1);
        fs::create_directories(base);
        ::setenv("TMPDIR", base.c_str(), 1);
        const auto& p = Constants::path();
        bool ok = p.caches == "/x/cache" && p.applicationSupport == "/x/data" && p.macOS.home == "/home/someone" &&
                  p.iOS.home == "/home/someone" && p.macOS.trash == "/x/data/Trash/files" &&
                  fs::path(p.tmp).parent_path() == base && fs::is_directory(p.tmp);
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  ::unsetenv(kBaseVariable);
  // The private temporary folder goes away with its process.
  std::error_code error;
  EXPECT_TRUE(fs::is_empty(base, error)) << error.message();
  fs::remove_all(base, error);
}

TEST(ConstantsTest, AForkedChildThatExitsLeavesItsParentsTemporaryFolderAlone) {
  GTEST_FLAG_SET(death_test_style, "fast");  // a plain fork: the child inherits the exit handlers
  const std::string tmp = Constants::path().tmp;
  EXPECT_EXIT(std::exit(0), ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(fs::is_directory(tmp));
}

TEST(ConstantsTest, TildePathAbbreviatesOnlyAWholeLeadingHomeFolder) {
  struct Case {
    const char* path;
    const char* home;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"/home/ab/Projects/a.kpr", "/home/ab", "~/Projects/a.kpr"},
      {"/home/ab/Projects/a.kpr", "/home/ab/", "~/Projects/a.kpr"},
      {"/home/ab", "/home/ab", "~"},
      {"/home/ab/", "/home/ab", "~"},
      {"/home/abc/x", "/home/ab", "/home/abc/x"},  // a longer name is another folder
      {"/home/ab/home/ab/x", "/home/ab", "~/home/ab/x"},
      {"/home/ab/a/../b/./c", "/home/ab", "~/b/c"},
      {"/home/ab/../cd/x", "/home/ab", "/home/cd/x"},
      {"/srv/home/ab/x", "/home/ab", "/srv/home/ab/x"},
      {"relative/home/ab", "/home/ab", "relative/home/ab"},
      {"/anything", "/", "/anything"},  // a root home would turn every path into "~..."
      {"/x", "", "/x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " under " + c.home);
    EXPECT_EQ(Constants::tildePath(c.path, c.home), c.expected);
  }
  const auto home = Constants::path().macOS.home;
  EXPECT_EQ(Constants::tildePath(home / "Documents" / "p.kpr"), "~/Documents/p.kpr");

  // Expanding undoes it; only a whole leading "~" is the home folder.
  EXPECT_EQ(Constants::expandTildePath("~/Documents/p.kpr"), home / "Documents" / "p.kpr");
  EXPECT_EQ(Constants::expandTildePath("~"), home);
  EXPECT_EQ(Constants::expandTildePath("~other/p.kpr"), std::filesystem::path("~other/p.kpr"));
  EXPECT_EQ(Constants::expandTildePath("/srv/~/p.kpr"), std::filesystem::path("/srv/~/p.kpr"));
}

TEST(ConstantsTest, OnlyTheTemporaryFoldersOfHostsThatNoLongerRunAreRemoved) {
  std::string pattern = (fs::temp_directory_path() / "constants-test.XXXXXX").string();
  ASSERT_TRUE(::mkdtemp(pattern.data()));
  const fs::path base = pattern;
  const std::string prefix = Constants::kitBundleIdentifier() + ".";
  auto makeFolder = [&](const std::string& suffix, bool withLock) {
    fs::create_directories(base / (prefix + suffix) / "upload");
    std::ofstream(base / (prefix + suffix) / "upload/body") << "spooled";
    if (withLock) std::ofstream(base / (prefix + suffix) / ".owner.lock");
    return base / (prefix + suffix);
  };
  const auto dead = makeFolder("dead01", true);
  const auto alive = makeFolder("alive1", true);
  const auto unmarked = makeFolder("nolock", false);
  const auto otherName = makeFolder("toolong1", true);
  // A running host holds its lock on a descriptor of its own.
  const int held = ::open((alive / ".owner.lock").c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  EXPECT_EQ(Constants::removeAbandonedTemporaryFolders(base), 1u);
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(alive / "upload/body")) << "its host still runs";
  EXPECT_TRUE(fs::exists(unmarked / "upload/body")) << "not recognisably ours";
  EXPECT_TRUE(fs::exists(otherName / "upload/body")) << "not a name the host makes";
  ::close(held);
  EXPECT_EQ(Constants::removeAbandonedTemporaryFolders(base), 1u) << "its host has ended";
  EXPECT_FALSE(fs::exists(alive));

  // This process's own folder carries a lock that it holds.
  const auto own = fs::path(Constants::path().tmp);
  const int probe = ::open((own / ".owner.lock").c_str(), O_RDONLY);
  ASSERT_GE(probe, 0);
  EXPECT_NE(::flock(probe, LOCK_EX | LOCK_NB), 0);
  ::close(probe);
  EXPECT_TRUE(fs::exists(own));
  fs::remove_all(base);
}

}  // namespace
}  // namespace kestrom

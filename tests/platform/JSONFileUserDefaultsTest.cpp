#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/defaults/JSONFileUserDefaults.h"
#include "tests/support/TempFolder.h"

namespace kestrom::defaults {
namespace {
namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

class JSONFileUserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.empty());
    file = root / "org.example.app" / "defaults.json";
  }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  test::TempFolder temp_{"kestrom-defaults"};
  const fs::path& root = temp_.path();
  fs::path file;
};

TEST_F(JSONFileUserDefaultsTest, ValuesSurviveARestart) {
  {
    JSONFileUserDefaults defaults(file);
    EXPECT_FALSE(defaults.boolValue("KestromKit.sentryEnabled"));
    EXPECT_TRUE(defaults.setBool("KestromKit.sentryEnabled", true));
    EXPECT_TRUE(defaults.setValue("other", Json::array({1, "two"})));
  }
  JSONFileUserDefaults again(file);
  EXPECT_EQ(again.boolValue("KestromKit.sentryEnabled"), true);
  EXPECT_EQ(again.value("other"), Json::array({1, "two"}));
  EXPECT_FALSE(again.boolValue("other"));  // not a Boolean
  EXPECT_EQ(Json::parse(read(file)), Json::parse(R"({"KestromKit.sentryEnabled": true, "other": [1, "two"]})"));
}

TEST_F(JSONFileUserDefaultsTest, AnUnreadableFileIsSetAsideNotOverwritten) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "[not an object";
  JSONFileUserDefaults defaults(file);
  EXPECT_FALSE(defaults.value("anything"));
  EXPECT_TRUE(defaults.setBool("KestromKit.sentryEnabled", false));
  EXPECT_EQ(read(file.string() + ".corrupt"), "[not an object");
  EXPECT_EQ(Json::parse(read(file)), Json::parse(R"({"KestromKit.sentryEnabled": false})"));
}

TEST_F(JSONFileUserDefaultsTest, AFileThatCannotBeReadIsNeverOverwritten) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << R"({"KestromKit.projectFolderBookmark":"L2hvbWU="})";
  // A file that exists but cannot be read: unreadable for a normal user, a folder in its place for
  // root (who reads every file).
  const bool asRoot = ::geteuid() == 0;
  if (asRoot) {
    fs::rename(file, root / "saved.json");
    fs::create_directories(file / "inner");
  } else {
    fs::permissions(file, fs::perms::none);
  }
  JSONFileUserDefaults defaults(file);
  EXPECT_FALSE(defaults.value("KestromKit.projectFolderBookmark"));
  EXPECT_FALSE(defaults.setValue("KestromKit.projectFolderBookmark", "other"));
  EXPECT_FALSE(fs::exists(file.string() + ".corrupt"));
  // Readable again: the values are all there, and writes go through.
  if (asRoot) {
    fs::remove_all(file);
    fs::rename(root / "saved.json", file);
  } else {
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(defaults.value("KestromKit.projectFolderBookmark"), Json("L2hvbWU="));
  EXPECT_TRUE(defaults.setBool("flag", true));
  EXPECT_EQ(Json::parse(read(file)), Json::parse(R"({"KestromKit.projectFolderBookmark":"L2hvbWU=","flag":true})"));
}

TEST_F(JSONFileUserDefaultsTest, AFailedWriteKeepsTheOldValue) {
  JSONFileUserDefaults defaults(file);
  ASSERT_TRUE(defaults.setBool("flag", true));
  fs::remove(file);
  fs::create_directories(file);  // a folder where the file should go: the rename must fail
  EXPECT_FALSE(defaults.setBool("flag", false));
  EXPECT_EQ(defaults.boolValue("flag"), true);
}

TEST_F(JSONFileUserDefaultsTest, DefaultFileFollowsXdgConfigHome) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
  EXPECT_EQ(JSONFileUserDefaults::defaultFile("org.example.app"), file);
  if (old) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(JSONFileUserDefaultsTest, WithoutXdgConfigHomeTheFileLivesInTheHomeFoldersConfig) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", "", 1);  // set but empty counts as unset
  const char* home = std::getenv("HOME");
  ASSERT_TRUE(home && *home);
  EXPECT_EQ(JSONFileUserDefaults::defaultFile("org.example.app"), fs::path(home) / ".config/org.example.app/defaults.json");
  if (old) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace kestrom::defaults

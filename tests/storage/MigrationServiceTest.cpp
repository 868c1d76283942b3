// Migrations against old data laid out in a temporary home: the folder move, the one-time
// settings conversion, what is recorded, and what is never touched.

#include "KestromKit/storage/MigrationService.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/files/AtomicFile.h"
#include "platform/defaults/FakeUserDefaults.h"
#include "platform/dispatch/ManualQueue.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

std::string read(const fs::path& file) { return AtomicFile::read(file).value_or("<missing>"); }

class MigrationServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrom-migration-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    folders_ = {home_, home_ / ".local/share"};
    dispatch::installMainQueue(main_);
    onMain_ = std::make_unique<dispatch::ManualQueue::Presence>(*main_);  // the test plays the main thread
  }
  void TearDown() override {
    onMain_.reset();
    dispatch::installMainQueue(nullptr);
    fs::remove_all(home_);
  }

  fs::path oldFolder() const { return home_ / "Library/Application Support/Kestrom"; }
  fs::path newFolder() const { return folders_.applicationSupport / "Kestrom"; }
  fs::path settingsFile() const { return newFolder() / "kestromuserSettings.json"; }
  MigrationService service() const { return MigrationService("Kestrom", defaults_, settingsFile(), folders_); }

  /// Runs the service as the kit does; true when the completion ran on the main queue.
  bool runToCompletion() {
    bool completed = false;
    service().run([&] { completed = main_->isCurrent(); });
    return main_->runUntil([&] { return completed; }, 30s) && completed;
  }

  fs::path home_;
  MigrationService::Folders folders_;
  std::shared_ptr<defaults::FakeUserDefaults> defaults_ = std::make_shared<defaults::FakeUserDefaults>();
  std::shared_ptr<dispatch::ManualQueue> main_ = std::make_shared<dispatch::ManualQueue>("main");
  std::unique_ptr<dispatch::ManualQueue::Presence> onMain_;
};

TEST_F(MigrationServiceTest, TheOldDataFolderMovesOnlyWhenTheNewOneIsMissing) {
  EXPECT_TRUE(MigrationService::migrateApplicationSupportFolder("Kestrom", folders_)) << "nothing old: nothing done";
  EXPECT_FALSE(fs::exists(newFolder()));

  write(oldFolder() / "kestromavailableProjects.json", "[]");
  write(oldFolder() / "config.json", R"({"usersettings":{}})");
  ASSERT_TRUE(MigrationService::migrateApplicationSupportFolder("Kestrom", folders_));
  EXPECT_EQ(read(newFolder() / "kestromavailableProjects.json"), "[]");
  EXPECT_FALSE(fs::exists(oldFolder()));

  write(oldFolder() / "kestromavailableProjects.json", "[1]");  // both exist now: nothing happens
  ASSERT_TRUE(MigrationService::migrateApplicationSupportFolder("Kestrom", folders_));
  EXPECT_EQ(read(newFolder() / "kestromavailableProjects.json"), "[]");
  EXPECT_EQ(read(oldFolder() / "kestromavailableProjects.json"), "[1]");

  EXPECT_FALSE(MigrationService::migrateApplicationSupportFolder("Kestrom", {{}, folders_.applicationSupport}));
}

TEST_F(MigrationServiceTest, AFileWhereTheNewFolderShouldBeFailsTheMove) {
  write(oldFolder() / "config.json", "{}");
  write(newFolder(), "not a folder");
  auto moved = MigrationService::migrateApplicationSupportFolder("Kestrom", folders_);
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().message, "Failed to move files");
  EXPECT_EQ(read(newFolder()), "not a folder");
  EXPECT_TRUE(fs::exists(oldFolder() / "config.json"));
}

TEST_F(MigrationServiceTest, AFirstStartWithNothingOldRecordsTheMigrationAndContinuesOnMain) {
  EXPECT_EQ(service().lastMigration(), 0);
  ASSERT_TRUE(runToCompletion());
  EXPECT_EQ(defaults_->value(MigrationService::kMigrationStoreKey), Json(1));
  EXPECT_FALSE(fs::exists(settingsFile()));
  EXPECT_EQ(service().lastMigration(), 1);
}

TEST_F(MigrationServiceTest, OldSettingsAreConvertedOnceWithoutTheirWrappers) {
  write(oldFolder() / "config.json",
        R"({"other":true,"usersettings":{"ui.language":{"value":"de","x":1},"volume":{"value":3},)"
        R"("list":{"value":[1,{"a":null}]}}})");
  ASSERT_TRUE(MigrationService::migrateApplicationSupportFolder("Kestrom", folders_));  // as the kit starts
  ASSERT_TRUE(runToCompletion());
  EXPECT_EQ(Json::parse(read(settingsFile())), Json::parse(R"({"list":[1,{"a":null}],"ui.language":"de","volume":3})"));
  EXPECT_TRUE(fs::exists(newFolder() / "config.json")) << "the old file stays";

  // A second start does not look again, even at a changed file.
  write(newFolder() / "config.json", R"({"usersettings":{"ui.language":{"value":"fr"}}})");
  fs::remove(settingsFile());
  ASSERT_TRUE(runToCompletion());
  EXPECT_FALSE(fs::exists(settingsFile()));
}

TEST_F(MigrationServiceTest, MalformedOldSettingsConvertNothingButCountAsDone) {
  for (const char* text : {R"({"usersettings":{"a":{}}})", R"({"settings":{}})", "not json", R"({"usersettings":[]})"}) {
    SCOPED_TRACE(text);
    defaults_ = std::make_shared<defaults::FakeUserDefaults>();
    write(newFolder() / "config.json", text);
    ASSERT_TRUE(runToCompletion());
    EXPECT_FALSE(fs::exists(settingsFile()));
    EXPECT_EQ(defaults_->value(MigrationService::kMigrationStoreKey), Json(1));
  }
}

TEST_F(MigrationServiceTest, AnExistingSettingsFileIsNeverReplaced) {
  write(newFolder() / "config.json", R"({"usersettings":{"ui.language":{"value":"de"}}})");
  write(settingsFile(), R"({"ui.language":"en-US"})");
  ASSERT_TRUE(runToCompletion());
  EXPECT_EQ(Json::parse(read(settingsFile())), Json::parse(R"({"ui.language":"en-US"})"));
  EXPECT_EQ(defaults_->value(MigrationService::kMigrationStoreKey), Json(1));
}

TEST_F(MigrationServiceTest, AConversionThatCannotBeWrittenLetsStartUpGoOnAndIsTriedAgain) {
  write(newFolder() / "config.json", R"({"usersettings":{"ui.language":{"value":"de"}}})");
  MigrationService unwritable("Kestrom", defaults_, home_ / "missing-folder/settings.json", folders_);
  EXPECT_FALSE(unwritable.migrateVersion0To1());
  bool completed = false;
  unwritable.run([&] { completed = true; });
  ASSERT_TRUE(main_->runUntil([&] { return completed; }, 30s));
  EXPECT_FALSE(defaults_->value(MigrationService::kMigrationStoreKey)) << "not recorded: the next start tries again";
  EXPECT_FALSE(MigrationService("Kestrom", defaults_, settingsFile(), {{}, folders_.applicationSupport}).migrateVersion0To1());
}

}  // namespace
}  // namespace kestrom

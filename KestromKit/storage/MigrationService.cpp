#include "KestromKit/storage/MigrationService.h"

#include <fcntl.h>
#include <stdio.h>

#include "platform/files/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/model/JSONAny.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace fs = std::filesystem;

namespace {

const char* const kUnknownHome = "Unable to resolve home directory";

fs::path oldDataFolder(const fs::path& realHome, const std::string& name) {
  return realHome / "Library/Application Support" / name;
}

bool isDirectory(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

// The old settings as {name: value}; none when the file does not hold "usersettings" with a
// "value" for every setting.
std::optional<JSONObject> convertedSettings(const std::string& text) {
  auto decoded = decodeText<JSONObject>(text);
  if (!decoded) return std::nullopt;
  auto settings = decoded->find("usersettings");
  if (settings == decoded->end() || !settings->second.value.is_object()) return std::nullopt;
  JSONObject converted;
  for (const auto& [name, container] : settings->second.value.items()) {
    if (!container.is_object() || !container.contains("value")) return std::nullopt;
    converted[name] = JSONAny(container.at("value"));
  }
  return converted;
}

// Moves `from` to `to` unless something is at `to` already.
bool renameNoReplace(const fs::path& from, const fs::path& to) {
  return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

}  // namespace

MigrationService::Folders MigrationService::Folders::current() {
  const auto& paths = Constants::path();
  return {paths.macOS.home, paths.applicationSupport};
}

MigrationService::MigrationService(std::string dataFolder, std::shared_ptr<defaults::UserDefaults> userDefaults,
                                   fs::path settingsFile, Folders folders)
    : dataFolder_(std::move(dataFolder)),
      userDefaults_(std::move(userDefaults)),
      settingsFile_(std::move(settingsFile)),
      folders_(std::move(folders)) {
  if (auto stored = userDefaults_ ? userDefaults_->value(kMigrationStoreKey) : std::nullopt;
      stored && stored->is_number_integer())
    lastMigration_ = stored->get<int>();
}

void MigrationService::run(std::function<void()> completion) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto queue = dispatch::makeSerialQueue("MigrationService");
  // The work holds a copy of the service, so the kit may go while it runs.
  queue->async([self = *this, queue, completion = std::move(completion)]() mutable {
    KESTROM_ASSERT_ON_QUEUE(queue);
    bool done = true;
    if (self.lastMigration_ < 1) {
      if (auto migrated = self.migrateVersion0To1(); !migrated) {
        Constants::log().general.error("Migration failed with error: %s", migrated.error().message);
        done = false;  // tried again at the next start; this one goes on without it
      }
    }
    if (done && !self.userDefaults_->setValue(kMigrationStoreKey, kCurrentMigration))
      Constants::log().general.error("Unable to record the migration in the user defaults");
    dispatch::mainQueue()->async(std::move(completion));
  });
}

Expected<void, MigrationError> MigrationService::migrateVersion0To1() const {
  if (folders_.realHome.empty()) return makeUnexpected(MigrationError{kUnknownHome});
  std::optional<std::string> text;
  for (const auto& folder : {folders_.applicationSupport / dataFolder_, oldDataFolder(folders_.realHome, dataFolder_)}) {
    auto read = AtomicFile::read(folder / "config.json");
    if (read) {
      text = std::move(*read);
      break;
    }
  }
  if (!text) return {};
  std::error_code error;
  if (fs::exists(settingsFile_, error) || error) {
    Constants::log().general.info("Settings already exist; the old settings are not converted");
    return {};
  }
  auto converted = convertedSettings(*text);
  if (!converted) return {};
  auto encoded = encodeText(*converted);
  if (!encoded) return makeUnexpected(MigrationError{encoded.error().description()});
  if (auto written = AtomicFile::write(settingsFile_, *encoded); !written)
    return makeUnexpected(MigrationError{"Unable to write " + settingsFile_.string() + ": " + written.error().message()});
  return {};
}

Expected<void, MigrationError> MigrationService::migrateApplicationSupportFolder(const std::string& name,
                                                                               const Folders& folders) {
  if (folders.realHome.empty()) return makeUnexpected(MigrationError{kUnknownHome});
  const auto old = oldDataFolder(folders.realHome, name);
  const auto target = folders.applicationSupport / name;
  std::error_code error;
  const bool targetIsFolder = fs::is_directory(target, error);
  if (!isDirectory(old) || (targetIsFolder && !error)) return {};
  // A move within one file system; across file systems a copy (the old folder then stays).
  fs::create_directories(target.parent_path(), error);
  if (!renameNoReplace(old, target)) fs::copy(old, target, fs::copy_options::recursive, error);
  if (!isDirectory(target)) return makeUnexpected(MigrationError{"Failed to move files"});
  return {};
}

}  // namespace kestrom

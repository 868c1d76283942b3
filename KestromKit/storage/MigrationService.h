#pragma once
// Carries data of older versions forward at start-up, in two steps:
//  - `migrateApplicationSupportFolder` moves the old data folder (under the user's home, in
//    "Library/Application Support") to the data folder, when only the old one exists;
//  - `run` converts the old settings file "config.json" ({"usersettings": {name: {"value": v}}})
//    into the settings store's file ({name: v}) once: "MigrationService.migration" in the user
//    defaults records that it is done.
// The conversion looks for "config.json" in the data folder first (where the folder move put it)
// and then in the old folder, and writes the file the settings store reads; an existing settings
// file is never replaced. A conversion that fails is logged and start-up goes on; it is tried
// again at the next start.
//
// Home queue: created and run from main; the conversion runs on its own "MigrationService" queue
// and the completion on main. Owner: the kit.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "KestromKit/base/Expected.h"
#include "platform/defaults/UserDefaults.h"

namespace kestrom {

struct MigrationError {
  std::string message;
};

class MigrationService {
 public:
  static constexpr const char* kMigrationStoreKey = "MigrationService.migration";
  static constexpr int kCurrentMigration = 1;

  /// Where the user's data lies.
  struct Folders {
    std::filesystem::path realHome;            // empty when the user's home is unknown
    std::filesystem::path applicationSupport;  // parent of the data folder
    /// The folders of the running user.
    static Folders current();
  };

  /// `dataFolder` is the name of the data folder; `settingsFile` the settings store's file.
  MigrationService(std::string dataFolder, std::shared_ptr<defaults::UserDefaults> userDefaults,
                   std::filesystem::path settingsFile, Folders folders = Folders::current());

  /// Runs the pending migrations on a background queue, then `completion` once on the main queue.
  void run(std::function<void()> completion);
  /// The settings conversion (see above); fails only when the converted file cannot be written
  /// or the home folder is unknown. A missing or malformed "config.json" converts nothing.
  Expected<void, MigrationError> migrateVersion0To1() const;
  /// The migration recorded when the service was made (0 when none).
  int lastMigration() const { return lastMigration_; }

  /// Moves the old data folder `name` into place when the new one does not exist yet; fails with
  /// "Failed to move files" when the new folder is not a folder afterwards.
  static Expected<void, MigrationError> migrateApplicationSupportFolder(const std::string& name,
                                                                      const Folders& folders = Folders::current());

 private:
  std::string dataFolder_;
  std::shared_ptr<defaults::UserDefaults> userDefaults_;
  std::filesystem::path settingsFile_;
  Folders folders_;
  int lastMigration_ = 0;
};

}  // namespace kestrom

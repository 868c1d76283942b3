#pragma once
// Moves data of older versions into place at start-up. The only data older versions left lies in
// folders a Linux machine never had, so this version finds nothing to do; it keeps the start-up
// order (run off the main queue, then continue on main). Owned by the kit.

#include <filesystem>
#include <functional>
#include <string>

#include "KestromKit/base/Expected.h"

namespace kestrom {

class MigrationService {
 public:
  explicit MigrationService(std::string userDataFolder);

  /// Runs the pending migrations on a background queue, then `completion` on the main queue.
  void run(std::function<void()> completion);
  /// Moves the old application-support folder's content into `applicationSupport`/`name`.
  static Expected<void, std::string> migrateApplicationSupportFolder(const std::string& name);

 private:
  std::string userDataFolder_;
};

}  // namespace kestrom

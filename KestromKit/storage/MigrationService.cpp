#include "KestromKit/storage/MigrationService.h"

#include <memory>

#include "KestromKit/base/Constants.h"
#include "platform/dispatch/Queue.h"

namespace kestrom {

namespace fs = std::filesystem;

MigrationService::MigrationService(std::string userDataFolder) : userDataFolder_(std::move(userDataFolder)) {}

void MigrationService::run(std::function<void()> completion) {
  auto queue = dispatch::makeSerialQueue("MigrationService");
  queue->async([queue, completion = std::move(completion)]() mutable {
    dispatch::mainQueue()->async(std::move(completion));
  });
}

Expected<void, std::string> MigrationService::migrateApplicationSupportFolder(const std::string& name) {
  const auto& paths = Constants::path();
  auto old = paths.macOS.home / "Library/Application Support" / name;
  std::error_code error;
  if (!fs::is_directory(old, error)) return {};
  auto target = paths.applicationSupport / name;
  fs::create_directories(target, error);
  for (const auto& entry : fs::directory_iterator(old, error)) {
    auto destination = target / entry.path().filename();
    if (fs::exists(destination, error)) continue;  // never replace what the new folder holds
    fs::rename(entry.path(), destination, error);
    if (error) return makeUnexpected(error.message());
  }
  return {};
}

}  // namespace kestrom

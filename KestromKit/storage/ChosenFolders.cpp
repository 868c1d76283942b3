#include "KestromKit/storage/ChosenFolders.h"

namespace kestrom {

namespace fs = std::filesystem;

namespace {

// One spelling per folder: symbolic links resolved, no "." or "..", no trailing slash.
fs::path normalized(const fs::path& folder) {
  std::error_code error;
  fs::path out = fs::weakly_canonical(folder, error);
  if (error) out = folder.lexically_normal();
  if (!out.has_filename() && out.has_parent_path() && out != out.root_path()) out = out.parent_path();
  return out;
}

}  // namespace

ChosenFolders& ChosenFolders::shared() {
  static ChosenFolders folders;
  return folders;
}

void ChosenFolders::add(const fs::path& folder) {
  auto key = normalized(folder);
  std::lock_guard lock(mutex_);
  folders_.insert(std::move(key));
}

bool ChosenFolders::allows(const fs::path& folder, const fs::path& current) const {
  if (folder.empty()) return false;
  const fs::path wanted = normalized(folder);
  if (!current.empty()) {
    const fs::path inUse = normalized(current);
    if (wanted == inUse || wanted == inUse.parent_path()) return true;
  }
  std::lock_guard lock(mutex_);
  return folders_.count(wanted) > 0;
}

}  // namespace kestrom

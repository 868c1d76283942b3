#pragma once
// The folders the host handed to the page from its folder dialog ("device/selectFolder"). The page
// may make one of them, or the project folder in use, its project folder; a bookmark it made up
// (base64 of any path) names no such folder and changes nothing.
//
// Any thread (one lock). One per process: `shared()`.

#include <filesystem>
#include <mutex>
#include <set>

namespace kestrom {

class ChosenFolders {
 public:
  static ChosenFolders& shared();

  /// Remembers `folder` as handed out by the folder dialog.
  void add(const std::filesystem::path& folder);
  /// True when `folder` was handed out, or is the project folder in use (`current`) or the folder
  /// that holds it.
  bool allows(const std::filesystem::path& folder, const std::filesystem::path& current) const;

 private:
  mutable std::mutex mutex_;  // guards folders_
  std::set<std::filesystem::path> folders_;
};

}  // namespace kestrom

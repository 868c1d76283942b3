#pragma once
// Where new projects go. The user may choose a project folder anywhere; the choice is kept as a
// folder bookmark under "KestromKit.projectFolderBookmark" in the user defaults, so it survives a
// restart. Until one is chosen (or while the chosen one is gone or in the trash) the legacy folder
// "<Documents>/<configured name>" stands in, and the status says why.
//
// `ProjectFolderMigrator` moves the indexed projects from the old folder into a new one when the
// page asks for it, one file at a time, never replacing a file already there; the index entry of
// a project follows its file only when the file really moved.
//
// Any thread: the holder's state is the user-defaults value (plus a mutex-guarded copy when the
// host runs without user defaults). The migrator must not run on the index's queue.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "KestromKit/base/Expected.h"
#include "KestromKit/model/IHostConfiguration.h"
#include "KestromKit/model/ProjectReference.h"
#include "platform/defaults/UserDefaults.h"

namespace kestrom {

class ProjectInfoStore;

/// Where new projects go now, and in which state that folder is.
struct ProjectFolderState {
  std::filesystem::path folder;
  ProjectFolderStatus status = ProjectFolderStatus::needsMigration;
  friend bool operator==(const ProjectFolderState&, const ProjectFolderState&) = default;
};

class ProjectFolderHolder {
 public:
  virtual ~ProjectFolderHolder() = default;
  virtual ProjectFolderState projectFolder() const = 0;
  /// Makes `folder` the project folder; false when the choice could not be stored.
  virtual bool setProjectFolder(const std::filesystem::path& folder) = 0;
};

class MacOsProjectFolderHolder final : public ProjectFolderHolder {
 public:
  static constexpr std::string_view kProjectFolderBookmarkKey = "KestromKit.projectFolderBookmark";

  /// `userDefaults` may be null: the choice then lasts for this process only.
  MacOsProjectFolderHolder(const std::string& folderName, std::shared_ptr<defaults::UserDefaults> userDefaults);

  /// No folder ever chosen: (legacy, needsMigration). A chosen folder that is gone or in the
  /// trash: (legacy, missing). Otherwise (chosen folder, ok).
  ProjectFolderState projectFolder() const override;
  bool setProjectFolder(const std::filesystem::path& folder) override;

  const std::filesystem::path& legacyUrl() const { return legacyUrl_; }

 private:
  std::optional<std::string> storedBookmark() const;

  std::filesystem::path legacyUrl_;
  std::shared_ptr<defaults::UserDefaults> userDefaults_;
  mutable std::mutex mutex_;                 // guards memoryBookmark_
  std::optional<std::string> memoryBookmark_;  // used without user defaults
};

class ProjectFolderMigrator {
 public:
  ProjectFolderMigrator(std::shared_ptr<ProjectInfoStore> store, std::filesystem::path oldProjectFolder,
                        std::filesystem::path newProjectFolder);

  /// Moves every indexed project that lies inside the old folder to the same place inside the new
  /// one. Nothing happens when both name the same folder. Stops at the first entry that cannot
  /// be written to the index: that file goes back to where it was, the rest are not moved, and
  /// the reason is returned.
  Expected<void, std::string> migrate();
  /// Where `url` goes: the same relative place under the new folder when it lies inside the old
  /// one (whole path components only); `url` itself otherwise.
  std::filesystem::path rebasedURL(const std::filesystem::path& url) const;
  /// Moves one project's file and returns the entry to store: with the new path when the file
  /// moved, unchanged when it did not need to or could not move.
  ProjectReference moveProject(const ProjectReference& reference) const;

 private:
  std::shared_ptr<ProjectInfoStore> store_;
  std::filesystem::path oldProjectFolder_;
  std::filesystem::path newProjectFolder_;
};

/// True when `path` is `folder` or lies inside it, comparing whole path components.
bool liesInFolder(const std::filesystem::path& path, const std::filesystem::path& folder);

/// The file a stored reference names: its bookmark when that resolves to an existing file, else
/// its home-relative path expanded.
std::filesystem::path projectFileURL(const ProjectReference& reference);

}  // namespace kestrom

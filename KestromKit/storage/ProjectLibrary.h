#pragma once
// The user's project files and the project index, kept in step. A project is one ZIP file
// anywhere on disk, normally in the project folder; the project index maps each project id to
// that file. The library lists, saves (in place, renamed, new, or under a path the save dialog
// handed out), answers whole files or one entry, deletes and moves projects, switches the project
// folder (moving the projects along when asked) and indexes project files that reach the host
// from outside.
//
// Every write is crash-safe: a project file is written to a fresh temporary file beside it,
// flushed and renamed over it; a renamed or new project is written under its new name (never
// replacing a file that appeared meanwhile) before the old file goes; moves never replace a file.
// An operation whose index write fails undoes what it did to the files and fails: the index on
// disk, the index in memory and the files always agree.
//
// Home queue: "Projects" (`queue()`), a serial queue of its own. Every operation that changes
// files or the index runs there (the calls below go onto it themselves, inline when already on
// it), so the main queue never waits on a project file; only `replaceEntryInProjectZip` rewrites
// the archive it is given on the caller's thread. Listing and loading run on the caller's thread
// and never wait for a save in flight (a listing drops the entries of vanished files through the
// index's own queue). Owned by the projects handler.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "KestromKit/base/Expected.h"
#include "KestromKit/model/IHostConfiguration.h"
#include "KestromKit/model/ResponseRecords.h"
#include "KestromKit/server/WebServerTypes.h"
#include "KestromKit/storage/EntrySpool.h"
#include "KestromKit/storage/ProjectFolder.h"
#include "KestromKit/storage/ProjectInfoStore.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/dispatch/Queue.h"
#include "platform/ids/IdGenerator.h"

namespace kestrom {

struct ProjectsHandlerError {
  enum class Kind {
    emptyId,             // value: the request's name
    emptyName,           // value: the id
    emptyData,           // value: the id
    unableToOpenZip,     // value: archive path (a saved one: no ZIP archive, or an entry does not read)
    missingFileInZip,    // value: archive path, filePath: entry name
    unknownProjectId,    // value: the id
    missingProjectFile,  // value: the id, filePath: the file's path
    unableToWriteFile,   // value: the path
    invalidManifest,     // value: archive path
    pathNotAllowed,      // value: the path a save-as named that this host never handed out
    notAFile,            // value: the path of something to delete that is no regular file
    fileSystem,          // value: the path; detail: the system's reason
    indexNotWritten,     // value: the id whose entry could not be stored; nothing was changed
    spoolFull,           // value: archive path, filePath: entry name; other answers hold the spool budget
    entryTooLarge,       // value: archive path, filePath: entry name; larger than the host reads or answers
  };
  Kind kind = Kind::fileSystem;
  std::string value;
  std::string filePath;
  std::string detail;

  /// For the log: "missingFileInZip(/p/a.kpr, manifest.json)", with the system's reason if any.
  std::string description() const;
};

template <class T>
using ProjectsResult = Expected<T, ProjectsHandlerError>;

class ProjectLibrary {
 public:
  /// The largest manifest read into memory, and the largest single entry answered (all the
  /// spool budget, EntrySpool.h).
  static constexpr std::uint64_t kMaxManifestBytes = 8ull << 20;
  static constexpr std::uint64_t kMaxEntryBytes = EntrySpool::kBudgetBytes;
  /// The largest "icon.svg" read for a preview; a larger one reads as the empty placeholder (the
  /// page asks for the icon of every listed project at once).
  static constexpr std::uint64_t kMaxIconBytes = 4ull << 20;

  ProjectLibrary(std::string projectFolderName, std::string fileExtension,
                 std::shared_ptr<ProjectInfoStore> projectInfoStore, bool verbose,
                 std::shared_ptr<defaults::UserDefaults> userDefaults, std::shared_ptr<ids::IdGenerator> ids);

  /// "Projects": where every change of files or the index runs.
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }
  const std::string& fileExtension() const { return fileExtension_; }
  const std::string& projectFolderName() const { return projectFolderName_; }
  /// The placeholder preview answered for a project without "icon.svg".
  const std::string& emptySVG() const { return emptySVG_; }

  ProjectFolderState projectFolderState() const { return projectFolder_->projectFolder(); }
  std::filesystem::path projectFolder() const { return projectFolderState().folder; }

  // ---- reading: any thread, never waits for `queue()` ----

  /// Every indexed project whose file is there, in index order. Entries whose file is in the
  /// trash or really gone (not merely unreadable now) leave the index.
  std::vector<RPCProjectItem> requestAllProjects();
  /// The project's file, open for the HTTP server to stream (regular files only, opened without
  /// blocking).
  ProjectsResult<std::shared_ptr<const WebServerOpenFile>> loadProject(const std::string& id) const;
  /// One entry of the project's archive, held in a bounded buffer on its way (EntrySpool.h): in
  /// memory up to 1 MiB, past that in an unnamed file in `spoolFolder` (none: the private
  /// temporary folder); `spoolFull` while the answers in flight hold too much of the spool budget
  /// for it, `entryTooLarge` for an entry larger than any answer may be, `fileSystem` when the
  /// spool's file fails. "icon.svg" missing or unreadable answers the placeholder.
  ProjectsResult<EntryBody> loadProjectEntry(const std::string& id, const std::string& entry,
                                             std::filesystem::path spoolFolder = {}) const;
  /// One entry of the archive at `url`; "icon.svg" missing or unreadable answers the placeholder.
  ProjectsResult<std::string> readProjectZipEntry(const std::filesystem::path& url, const std::string& entry) const;
  std::optional<ProjectReference> lookUp(const std::string& id) const;
  /// Lets one later save-as write at `path`: the save dialog chose it for the page.
  void allowSaveAsPath(const std::filesystem::path& path);

  // ---- changing one archive: on the caller's thread (opening a file calls it on `queue()`) ----

  /// Rewrites the archive at `path` with entry `entry` holding `bytes`.
  ProjectsResult<void> replaceEntryInProjectZip(const std::filesystem::path& path, const std::string& entry,
                                                std::string_view bytes) const;

  // ---- changing: any thread, run on `queue()` ----
  //
  // A save writes only an archive that can be read back entry by entry: one that is no ZIP
  // archive or has an entry that does not read fails with `unableToOpenZip`, one with an entry
  // larger than the host answers with `entryTooLarge`, and the project's file stays as it was.

  ProjectsResult<void> saveProject(const std::string& id, const std::string& name, std::string_view data);
  /// Saves at `path` ("~/" form or absolute), which must carry the project extension and have
  /// been handed out by the save dialog (`allowSaveAsPath`) or be the file of an indexed project.
  /// Returns the id of another project whose file was overwritten (its entry is gone).
  ProjectsResult<std::optional<std::string>> saveProjectAs(const std::string& id, const std::string& name,
                                                           std::string_view data, const std::string& path);
  /// An unknown id, or a file already gone, succeeds without change. Removes regular files only.
  ProjectsResult<void> deleteProject(const std::string& id);
  /// Moves the project's file into `folder`, never replacing a file there.
  ProjectsResult<void> moveProject(const std::string& id, const std::filesystem::path& folder);
  /// Makes `folder` the project folder, first moving the projects of the current one into it when
  /// `migrateProjects`; a migration that fails leaves the project folder as it was.
  void changeProjectFolder(const std::filesystem::path& folder, bool migrateProjects);
  /// Indexes a project file handed over from outside; returns the id to announce. A copy of an
  /// indexed project gets a new id (written into its manifest).
  ProjectsResult<std::string> openProjectURL(const std::filesystem::path& url);
  /// Removes what saves into the project folder that were killed half way left there (hidden
  /// ".<name>.<extension>.tmp-…" files). Returns how many went.
  std::size_t removeStrayTemporaries();

 private:
  enum class WriteMode { replace, newFile };

  /// A free name in the folder of `candidate` (not in the folder, not an indexed project's name).
  ProjectsResult<std::filesystem::path> uniqueProjectURL(const std::filesystem::path& candidate) const;
  /// Writes `data` at `target` and records it under `id`. `newFile` never replaces a file: when
  /// `target` appears meanwhile the next free name is taken. Returns where the file went. Data
  /// that cannot be read back entry by entry replaces nothing. When the index cannot be written
  /// a new file is removed again and the call fails.
  ProjectsResult<std::filesystem::path> writeProject(std::filesystem::path target, const std::string& id,
                                                     const std::string& name, std::string_view data, WriteMode mode,
                                                     const std::optional<ProjectReference>& previous);
  ProjectsResult<void> saveOnQueue(const std::string& id, const std::string& name, std::string_view data);
  ProjectsResult<std::optional<std::string>> saveAsOnQueue(const std::string& id, const std::string& name,
                                                           std::string_view data, const std::string& path);
  ProjectsResult<void> deleteOnQueue(const std::string& id);
  ProjectsResult<void> moveOnQueue(const std::string& id, const std::filesystem::path& folder);
  ProjectsResult<std::string> openOnQueue(const std::filesystem::path& url);

  std::string emptySVG_;
  std::string projectFolderName_;
  std::string fileExtension_;
  std::shared_ptr<ProjectInfoStore> projectInfoStore_;
  bool verbose_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::unique_ptr<ProjectFolderHolder> projectFolder_;
  std::shared_ptr<ids::IdGenerator> ids_;

  std::mutex saveAsMutex_;
  std::set<std::filesystem::path> saveAsPaths_;  // guarded by saveAsMutex_
};

}  // namespace kestrom

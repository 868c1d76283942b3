#pragma once
// The one object through which the host reads and changes the user's projects. A project is one
// ZIP file anywhere on disk, normally in the project folder; the project index maps each project
// id to that file. The handler keeps file and index in step: it lists, saves (in place, renamed,
// new, or under a path the save dialog handed out), loads whole files or one entry, deletes and
// moves projects, switches the project folder (moving the projects along when asked), opens
// project files that reach the host from outside and holds the ids opened before the page asked.
//
// Every write is crash-safe: a project file is written to a fresh temporary file beside it,
// flushed and renamed over it; a renamed or new project is written under its new name (never
// replacing a file that appeared meanwhile) before the old file goes; moves never replace a file.
//
// Thread rules: any thread (the dispatcher on the main queue, the HTTP route on its connection
// threads). Every operation that changes files or the index is serialised by one mutex; none of
// them waits on the main queue. The index is reached through its own queue. The opened-id list
// lives on `queue()` ("ProjectsHandler"). Owned by the kit.

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
#include "KestromKit/model/RequestRecords.h"
#include "KestromKit/model/ResponseRecords.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/storage/ProjectFolder.h"
#include "KestromKit/storage/ProjectInfoStore.h"
#include "KestromKit/storage/ProjectsDelegate.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/dispatch/Queue.h"
#include "platform/ids/IdGenerator.h"

namespace kestrom {

struct ProjectsHandlerError {
  enum class Kind {
    emptyId,             // value: the request's name
    emptyName,           // value: the id
    emptyData,           // value: the id
    unableToOpenZip,     // value: archive path
    missingFileInZip,    // value: archive path, filePath: entry name
    unknownProjectId,    // value: the id
    missingProjectFile,  // value: the id, filePath: the file's path
    unableToWriteFile,   // value: the path
    invalidManifest,     // value: archive path
    pathNotAllowed,      // value: the path a save-as named that this host never handed out
    notAFile,            // value: the path of something to delete that is no regular file
    fileSystem,          // value: the path; detail: the system's reason
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

class ProjectsHandler : public std::enable_shared_from_this<ProjectsHandler> {
 public:
  /// The largest manifest and the largest single entry read into memory.
  static constexpr std::uint64_t kMaxManifestBytes = 8ull << 20;
  static constexpr std::uint64_t kMaxEntryBytes = 512ull << 20;
  /// The largest "icon.svg" read for a preview; a larger one reads as the empty placeholder (the
  /// page asks for the icon of every listed project at once).
  static constexpr std::uint64_t kMaxIconBytes = 4ull << 20;

  /// `userDefaults` keeps the chosen project folder across restarts (null: this process only);
  /// `ids` makes the ids of copied projects (null: drawn from the kernel).
  ProjectsHandler(std::shared_ptr<RPCInterface> interface, std::string projectFolderName, std::string fileExtension,
                  std::shared_ptr<ProjectInfoStore> projectInfoStore, bool verbose,
                  std::shared_ptr<defaults::UserDefaults> userDefaults = nullptr,
                  std::shared_ptr<ids::IdGenerator> ids = nullptr);

  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }
  const std::shared_ptr<ProjectInfoStore>& projectInfoStore() const { return projectInfoStore_; }
  /// Who shows the dialogs and the share picker; set once during start-up, on main.
  void setDelegate(std::weak_ptr<ProjectsDelegate> delegate) { delegate_ = std::move(delegate); }

  // The page's "/projects/..." requests, on main; each answers through the RPC interface.
  void handleDelete(const std::string& id, const RPCRequestProjectsDeleteParams& params);
  void handleList(const std::string& id);
  void handleInitialProjects(const std::string& id);
  void handleMove(const std::string& id, const RPCRequestProjectsMoveParams& params);
  /// Asks the save dialog for a place; the chosen path (with the project extension) is the one a
  /// later save-as upload may write.
  void handleSaveAs(const std::string& id, const RPCRequestProjectsSaveAsParams& params);
  void handleShowOpenDialog(const std::string& id);
  void handleChangeProjectFolder(const std::string& id, const RPCRequestProjectsChangeProjectFolderParams& params);
  void handleShare(const std::string& id, const RPCRequestProjectsShareParams& params);
  /// The one way a folder the page names becomes the project folder: resolves `bookmark`, makes
  /// the project folder below it and switches to it. An absent or unresolvable bookmark changes
  /// nothing.
  void changeProjectFolder(const std::optional<std::string>& bookmark, bool migrateProjects);
  const std::string& fileExtension() const { return fileExtension_; }
  /// The placeholder preview answered for a project without "icon.svg".
  const std::string& emptySVG() const { return emptySVG_; }

  /// Every indexed project whose file is there, in index order. Entries whose file is in the
  /// trash or really gone (not merely unreadable now) leave the index.
  std::vector<RPCProjectItem> requestAllProjects();
  /// On `queue()`: marks the initial projects as requested and hands over (and clears) the ids of
  /// projects opened before the page asked, oldest first.
  std::vector<std::string> initialProjects();
  std::vector<std::string> takeInitialProjectIds() { return initialProjects(); }

  /// Saves the uploaded bytes of project `id`: in place, under a new file name when the name
  /// changed, or as a new file in the project folder for an id the index does not hold.
  ProjectsResult<void> saveProject(const std::string& id, const std::string& name, std::string_view data);
  /// Saves at `path` ("~/" form or absolute), which must carry the project extension and have
  /// been handed out by the save dialog (`allowSaveAsPath`) or be the file of an indexed project.
  /// Returns the id of another project whose file was overwritten (its entry is gone).
  ProjectsResult<std::optional<std::string>> saveProjectAs(const std::string& id, const std::string& name,
                                                           std::string_view data, const std::string& path);
  /// Lets one later save-as write at `path`: the save dialog chose it for the page.
  void allowSaveAsPath(const std::filesystem::path& path);

  ProjectsResult<std::string> loadProject(const std::string& id);
  /// One entry of the project's archive; "icon.svg" missing answers the placeholder.
  ProjectsResult<std::string> loadProjectEntry(const std::string& id, const std::string& entry);

  /// An unknown id, or a file already gone, succeeds without change. Removes regular files only.
  ProjectsResult<void> deleteProject(const std::string& id);
  /// Moves the project's file into `folder`, never replacing a file there.
  ProjectsResult<void> moveProject(const std::string& id, const std::filesystem::path& folder);
  /// Makes `folder` the project folder, first moving the projects of the current one into it when
  /// `migrateProjects`.
  void changeProjectFolder(const std::filesystem::path& folder, bool migrateProjects);
  /// Indexes a project file handed over from outside and announces its id to the page. A copy
  /// of an indexed project gets a new id (written into its manifest).
  ProjectsResult<void> openProjectURL(const std::filesystem::path& url);
  /// Hands the project's file to the share picker of `delegate` (none: nothing is shown).
  ProjectsResult<void> shareProject(const std::string& id, ProjectsDelegate* delegate);

  ProjectFolderState projectFolderState() const { return projectFolder_->projectFolder(); }
  std::filesystem::path projectFolder() const { return projectFolderState().folder; }
  ProjectFolderStatus projectFolderStatus() const { return projectFolderState().status; }
  const std::string& projectFolderName() const { return projectFolderName_; }

  /// One entry of the archive at `url`; "icon.svg" missing or unreadable answers the placeholder.
  ProjectsResult<std::string> readProjectZipEntry(const std::filesystem::path& url, const std::string& entry) const;
  /// Rewrites the archive at `path` with entry `entry` holding `bytes`.
  ProjectsResult<void> replaceEntryInProjectZip(const std::filesystem::path& path, const std::string& entry,
                                                std::string_view bytes) const;

 private:
  enum class WriteMode { replace, newFile };

  std::optional<ProjectReference> lookUp(const std::string& id) const;
  /// A free name in the folder of `candidate` (not in the folder, not an indexed project's name).
  ProjectsResult<std::filesystem::path> uniqueProjectURL(const std::filesystem::path& candidate) const;
  /// Writes `data` at `target` and records it under `id`. `newFile` never replaces a file: when
  /// `target` appears meanwhile the next free name is taken. Returns where the file went.
  ProjectsResult<std::filesystem::path> writeProject(std::filesystem::path target, const std::string& id,
                                                     const std::string& name, std::string_view data, WriteMode mode,
                                                     const std::optional<ProjectReference>& previous);
  void announceOpenedProject(const std::string& id);

  std::string emptySVG_;
  std::shared_ptr<RPCInterface> interface_;
  std::string projectFolderName_;
  std::string fileExtension_;
  std::shared_ptr<ProjectInfoStore> projectInfoStore_;
  bool verbose_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::unique_ptr<ProjectFolderHolder> projectFolder_;
  std::shared_ptr<ids::IdGenerator> ids_;
  std::weak_ptr<ProjectsDelegate> delegate_;

  std::mutex fileMutex_;  // serialises every operation that changes files or the index
  std::set<std::filesystem::path> saveAsPaths_;  // guarded by fileMutex_

  std::mutex initialMutex_;  // guards the two below (taken on queue_)
  bool initialProjectsRequested_ = false;
  std::vector<std::string> initialProjectIDs_;
};

/// Answers "/projects/share": finds the project's file and hands it to the share picker.
class ProjectService {
 public:
  static void share(const std::string& requestID, const std::string& projectID, RPCInterface& interface,
                    ProjectsHandler& handler, const std::weak_ptr<ProjectsDelegate>& delegate);
  /// The same through the index alone (what the kit holds today).
  static void share(const std::string& requestID, const std::string& projectID, RPCInterface& interface,
                    ProjectInfoStore& store, const std::weak_ptr<ProjectsDelegate>& delegate);
};

}  // namespace kestrom

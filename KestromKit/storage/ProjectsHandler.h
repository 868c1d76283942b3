#pragma once
// The page's side of the user's projects: the "/projects/..." requests, the ids of projects
// opened before the page asked for them, and the share reply. The files and the index belong to
// the project library (ProjectLibrary.h), which works on its own "Projects" queue; a request
// posts its work there (a listing to a queue of its own, so it never waits for a save) and is
// answered when the work is done. The operations the HTTP route and the kit call directly are the
// library's, run synchronously from the caller's thread; none may be called on the main queue
// except `openProjectURLAsync` and `changeProjectFolderAsync`, which only post.
//
// Thread rules: the `handle*` methods on main; the rest from any thread. The opened-id list lives
// on `queue()` ("ProjectsHandler"). Owned by the kit.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
#include "KestromKit/storage/ProjectLibrary.h"
#include "KestromKit/storage/ProjectsDelegate.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/dispatch/Queue.h"
#include "platform/ids/IdGenerator.h"

namespace kestrom {

class ProjectsHandler : public std::enable_shared_from_this<ProjectsHandler> {
 public:
  /// `userDefaults` keeps the chosen project folder across restarts (null: this process only);
  /// `ids` makes the ids of copied projects (null: drawn from the kernel).
  ProjectsHandler(std::shared_ptr<RPCInterface> interface, std::string projectFolderName, std::string fileExtension,
                  std::shared_ptr<ProjectInfoStore> projectInfoStore, bool verbose,
                  std::shared_ptr<defaults::UserDefaults> userDefaults = nullptr,
                  std::shared_ptr<ids::IdGenerator> ids = nullptr);

  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }
  const std::shared_ptr<ProjectLibrary>& library() const { return library_; }
  const std::shared_ptr<ProjectInfoStore>& projectInfoStore() const { return library_->projectInfoStore(); }
  /// Who shows the dialogs and the share picker; set once during start-up, on main.
  void setDelegate(std::weak_ptr<ProjectsDelegate> delegate) { delegate_ = std::move(delegate); }

  // The page's "/projects/..." requests, on main; each answers through the RPC interface once its
  // work is done, from the queue that did it.
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
  /// nothing. Waits for the library: not on main.
  void changeProjectFolder(const std::optional<std::string>& bookmark, bool migrateProjects);
  /// The same without waiting; `done` runs on the library's queue afterwards.
  void changeProjectFolderAsync(std::optional<std::string> bookmark, bool migrateProjects,
                                std::function<void()> done);
  const std::string& fileExtension() const { return library_->fileExtension(); }
  /// The placeholder preview answered for a project without "icon.svg".
  const std::string& emptySVG() const { return library_->emptySVG(); }

  /// The listing (see ProjectLibrary), posted from main to a queue that never waits for a save;
  /// `done` gets it there.
  void requestAllProjectsAsync(std::function<void(std::vector<RPCProjectItem>)> done);
  std::vector<RPCProjectItem> requestAllProjects() { return library_->requestAllProjects(); }
  /// On `queue()`: marks the initial projects as requested and hands over (and clears) the ids of
  /// projects opened before the page asked, oldest first.
  std::vector<std::string> initialProjects();

  // The library's operations, waiting for it (the HTTP route's connection threads, tests).
  ProjectsResult<void> saveProject(const std::string& id, const std::string& name, std::string_view data) {
    return library_->saveProject(id, name, data);
  }
  ProjectsResult<std::optional<std::string>> saveProjectAs(const std::string& id, const std::string& name,
                                                           std::string_view data, const std::string& path) {
    return library_->saveProjectAs(id, name, data, path);
  }
  void allowSaveAsPath(const std::filesystem::path& path) { library_->allowSaveAsPath(path); }
  ProjectsResult<std::shared_ptr<const WebServerOpenFile>> loadProject(const std::string& id) {
    return library_->loadProject(id);
  }
  ProjectsResult<EntryBody> loadProjectEntry(const std::string& id, const std::string& entry) {
    return library_->loadProjectEntry(id, entry);
  }
  ProjectsResult<void> deleteProject(const std::string& id) { return library_->deleteProject(id); }
  ProjectsResult<void> moveProject(const std::string& id, const std::filesystem::path& folder) {
    return library_->moveProject(id, folder);
  }
  void changeProjectFolder(const std::filesystem::path& folder, bool migrateProjects) {
    library_->changeProjectFolder(folder, migrateProjects);
  }
  /// Indexes a project file handed over from outside and announces its id to the page. A copy
  /// of an indexed project gets a new id (written into its manifest).
  ProjectsResult<void> openProjectURL(const std::filesystem::path& url);
  /// The same without waiting; false at once for something that is no regular file. Failures
  /// later are logged; `done` learns the outcome on the library's queue. A "/projects/initialprojects"
  /// that arrives meanwhile is answered once the open is done.
  bool openProjectURLAsync(const std::filesystem::path& url,
                           std::function<void(const ProjectsResult<void>&)> done = {});
  /// Hands the project's file to the share picker of `delegate` (none: nothing is shown).
  ProjectsResult<void> shareProject(const std::string& id, ProjectsDelegate* delegate);

  ProjectFolderState projectFolderState() const { return library_->projectFolderState(); }
  std::filesystem::path projectFolder() const { return projectFolderState().folder; }
  ProjectFolderStatus projectFolderStatus() const { return projectFolderState().status; }
  const std::string& projectFolderName() const { return library_->projectFolderName(); }

  ProjectsResult<std::string> readProjectZipEntry(const std::filesystem::path& url, const std::string& entry) const {
    return library_->readProjectZipEntry(url, entry);
  }
  ProjectsResult<void> replaceEntryInProjectZip(const std::filesystem::path& path, const std::string& entry,
                                                std::string_view bytes) const {
    return library_->replaceEntryInProjectZip(path, entry, bytes);
  }

 private:
  void announceOpenedProject(const std::string& id);
  void finishPendingOpen();
  void answerInitialProjects(const std::string& id, std::vector<std::string> ids);

  std::shared_ptr<RPCInterface> interface_;
  std::shared_ptr<ProjectLibrary> library_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::shared_ptr<dispatch::Queue> listQueue_;  // "ProjectsList": listings, never behind a save
  std::weak_ptr<ProjectsDelegate> delegate_;

  std::mutex initialMutex_;  // guards the four below
  bool initialProjectsRequested_ = false;
  std::vector<std::string> initialProjectIDs_;
  int pendingOpens_ = 0;                         // opens posted and not done yet
  std::vector<std::string> waitingInitialRequests_;  // "/projects/initialprojects" waiting for them
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

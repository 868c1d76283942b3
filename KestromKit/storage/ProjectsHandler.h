#pragma once
// The page's side of the user's projects: the "/projects/..." requests, the ids of projects
// opened before the page asked for them, and the share reply. The files and the index belong to
// the project library (ProjectLibrary.h), whose operations the HTTP route and the kit call
// directly. A change the page asks for (a deletion, a move, a folder switch, a file to open) is
// posted to the library's "Projects" queue, behind a save in flight, and answered once done. A
// listing runs on "ProjectsList", a queue of its own, so it never waits for a save itself; it
// waits only for the changes posted before it (and so for a save those wait behind), so its
// answer shows them.
//
// Thread rules: the `handle*` methods on main; the rest from any thread, `openProjectURL` (which
// waits for the library) not on main. One mutex guards the opened ids and the pending changes;
// nothing is sent to the page while it is held. Owned by the kit.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
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

  /// The files and the index: what the HTTP route, the kit and the configuration use directly.
  const std::shared_ptr<ProjectLibrary>& library() const { return library_; }
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
  /// nothing. Posted to the library's queue like the page's other changes; `done` runs there
  /// afterwards.
  void changeProjectFolderAsync(std::optional<std::string> bookmark, bool migrateProjects,
                                std::function<void()> done);

  /// The listing (see ProjectLibrary) on a queue of its own, so it never waits for a save itself;
  /// it waits only for the changes posted before it (a deletion, a move, a folder switch, an open)
  /// and so for a save those wait behind, so it shows them. `done` gets it there.
  void requestAllProjectsAsync(std::function<void(std::vector<RPCProjectItem>)> done);
  /// Marks the initial projects as requested and hands over (and clears) the ids of projects
  /// opened before the page asked, oldest first.
  std::vector<std::string> initialProjects();

  /// Indexes a project file handed over from outside and announces its id to the page. A copy
  /// of an indexed project gets a new id (written into its manifest).
  ProjectsResult<void> openProjectURL(const std::filesystem::path& url);
  /// The same without waiting; false at once for something that is no regular file. Failures
  /// later are logged; `done` learns the outcome on the library's queue. A "/projects/initialprojects"
  /// that arrives meanwhile is answered once the open is done.
  bool openProjectURLAsync(const std::filesystem::path& url,
                           std::function<void(const ProjectsResult<void>&)> done = {});

 private:
  /// Posts one of the page's changes to the library's queue; work handed to `afterPostedChanges`
  /// later waits for it.
  void postChange(std::function<void()> change);
  /// Runs `work` once every change posted so far is done: at once when none is pending, else on
  /// the library's queue right after the last of them.
  void afterPostedChanges(std::function<void()> work);
  void changeDone(std::uint64_t number);
  void changeProjectFolder(const std::optional<std::string>& bookmark, bool migrateProjects);
  void announceOpenedProject(const std::string& id);
  void answerInitialProjects(const std::string& id, std::vector<std::string> ids);
  ProjectsResult<void> shareProject(const std::string& id, ProjectsDelegate* delegate);

  std::shared_ptr<RPCInterface> interface_;
  std::shared_ptr<ProjectLibrary> library_;
  std::shared_ptr<dispatch::Queue> listQueue_;  // "ProjectsList": listings, never behind a save
  std::weak_ptr<ProjectsDelegate> delegate_;

  std::mutex mutex_;  // guards the fields below; held briefly, never while sending to the page
  bool initialProjectsRequested_ = false;
  std::vector<std::string> initialProjectIDs_;
  std::uint64_t changesPosted_ = 0;  // the page's changes handed to the library's queue, numbered
  std::uint64_t changesDone_ = 0;    // the last of them done (the queue runs them in order)
  std::vector<std::pair<std::uint64_t, std::function<void()>>> afterChanges_;  // work waiting for change n
};

}  // namespace kestrom

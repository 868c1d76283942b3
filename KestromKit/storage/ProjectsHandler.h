#pragma once
// The projects in the user's project folder as the page sees them. This first version keeps the
// folder and answers with what the index holds; listing, saving, moving and opening archives
// come with the project store. Home queue: "ProjectsHandler" (`queue()`). Owned by the kit.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/base/Expected.h"
#include "KestromKit/storage/ProjectsDelegate.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/model/IHostConfiguration.h"
#include "KestromKit/model/RequestRecords.h"
#include "KestromKit/model/ResponseRecords.h"
#include "KestromKit/storage/ProjectInfoStore.h"

namespace kestrom {

class ProjectsHandler : public std::enable_shared_from_this<ProjectsHandler> {
 public:
  ProjectsHandler(std::shared_ptr<RPCInterface> interface, std::string projectFolderName, std::string fileExtension,
                  std::shared_ptr<ProjectInfoStore> projectInfoStore, bool verbose);

  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }
  /// Who shows the dialogs and the share picker; set once during start-up, on main.
  void setDelegate(std::weak_ptr<ProjectsDelegate> delegate) { delegate_ = std::move(delegate); }

  // The page's "/projects/..." requests, on main; each answers through `interface()`.
  void handleDelete(const std::string& id, const RPCRequestProjectsDeleteParams& params);
  void handleList(const std::string& id);
  void handleInitialProjects(const std::string& id);
  void handleMove(const std::string& id, const RPCRequestProjectsMoveParams& params);
  void handleSaveAs(const std::string& id, const RPCRequestProjectsSaveAsParams& params);
  void handleShowOpenDialog(const std::string& id);
  void handleChangeProjectFolder(const std::string& id, const RPCRequestProjectsChangeProjectFolderParams& params);
  void handleShare(const std::string& id, const RPCRequestProjectsShareParams& params);
  /// Resolves `bookmark`, makes the project folder below it and switches to it.
  void changeProjectFolder(const std::optional<std::string>& bookmark, bool migrateProjects);

  /// The project list of "/projects/list".
  std::vector<RPCProjectItem> requestAllProjects();
  /// On `queue()`: marks the initial projects as requested and hands over (and clears) the ids
  /// of projects opened before the page asked.
  std::vector<std::string> initialProjects();

  Expected<void, std::string> deleteProject(const std::string& projectID);
  Expected<void, std::string> moveProject(const std::string& projectID, const std::filesystem::path& folder);
  Expected<void, std::string> openProjectURL(const std::filesystem::path& url);
  void changeProjectFolder(const std::filesystem::path& folder, bool migrateProjects);

  /// Where projects are kept now, and whether that folder exists.
  std::filesystem::path projectFolder() const;
  ProjectFolderStatus projectFolderStatus() const;
  const std::string& projectFolderName() const { return projectFolderName_; }

 private:
  std::shared_ptr<RPCInterface> interface_;
  std::string projectFolderName_;
  std::string fileExtension_;
  std::shared_ptr<ProjectInfoStore> projectInfoStore_;
  bool verbose_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::weak_ptr<ProjectsDelegate> delegate_;

  mutable std::mutex mutex_;  // guards projectFolder_, initial state
  std::filesystem::path projectFolder_;
  bool initialProjectsRequested_ = false;
  std::vector<std::string> initialProjectIDs_;
};

/// Shares a project file through the desktop's share picker.
class ProjectService {
 public:
  static void share(const std::string& requestID, const std::string& projectID, RPCInterface& interface,
                    ProjectInfoStore& store, const std::weak_ptr<ProjectsDelegate>& delegate);
};

}  // namespace kestrom

#include "KestromKit/storage/ProjectsHandler.h"

#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/ChosenFolders.h"
#include "platform/bookmarks/Bookmarks.h"

namespace kestrom {

using ResponseCase = RPC::Response::Case;

ProjectsHandler::ProjectsHandler(std::shared_ptr<RPCInterface> interface, std::string projectFolderName,
                                 std::string fileExtension, std::shared_ptr<ProjectInfoStore> projectInfoStore,
                                 bool verbose)
    : interface_(std::move(interface)),
      projectFolderName_(std::move(projectFolderName)),
      fileExtension_(std::move(fileExtension)),
      projectInfoStore_(std::move(projectInfoStore)),
      verbose_(verbose),
      queue_(dispatch::makeSerialQueue("ProjectsHandler")),
      projectFolder_(Constants::documentsFolder() / projectFolderName_) {}

std::vector<RPCProjectItem> ProjectsHandler::requestAllProjects() { return {}; }

std::vector<std::string> ProjectsHandler::initialProjects() {
  std::lock_guard lock(mutex_);
  initialProjectsRequested_ = true;
  return std::exchange(initialProjectIDs_, {});
}

Expected<void, std::string> ProjectsHandler::deleteProject(const std::string&) {
  return makeUnexpected(std::string("no such project"));
}

Expected<void, std::string> ProjectsHandler::moveProject(const std::string&, const std::filesystem::path&) {
  return makeUnexpected(std::string("no such project"));
}

Expected<void, std::string> ProjectsHandler::openProjectURL(const std::filesystem::path& url) {
  if (verbose_) Constants::log().projects.info("Not opening %s: projects cannot be opened yet", url.string());
  return makeUnexpected(std::string("projects cannot be opened yet"));
}

void ProjectsHandler::changeProjectFolder(const std::filesystem::path& folder, bool) {
  std::lock_guard lock(mutex_);
  projectFolder_ = folder;
}

void ProjectsHandler::changeProjectFolder(const std::optional<std::string>& bookmark, bool migrateProjects) {
  auto resolved = bookmark ? bookmarks::resolveBookmark(*bookmark) : std::nullopt;
  // Only a folder the user chose in the folder dialog, or the one in use: a made-up bookmark
  // could otherwise plant the project folder anywhere.
  if (!resolved || !ChosenFolders::shared().allows(*resolved, projectFolder())) return;
  std::filesystem::path folder = *resolved;
  if (folder.filename() != projectFolderName_) {
    folder /= projectFolderName_;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
  }
  changeProjectFolder(folder, migrateProjects);
}

void ProjectsHandler::handleDelete(const std::string& id, const RPCRequestProjectsDeleteParams& params) {
  if (deleteProject(params.projectID))
    interface_->send(RPC::Response::make<ResponseCase::projectsDelete>(id));
  else
    interface_->send(RPC::Response::error(id, "Unable to delete project"));
}

void ProjectsHandler::handleList(const std::string& id) {
  interface_->send(RPC::Response::make<ResponseCase::projectsRequestAll>(
      id, RPCResponseProjectsRequestAllParams{requestAllProjects()}));
}

void ProjectsHandler::handleInitialProjects(const std::string& id) {
  auto ids = queue_->syncValue([this] { return initialProjects(); });
  interface_->send(RPC::Response::make<ResponseCase::projectsRequestInitialProjects>(
      id, RPCResponseProjectsRequestInitialProjectsParams{std::move(ids)}));
}

void ProjectsHandler::handleMove(const std::string& id, const RPCRequestProjectsMoveParams& params) {
  auto delegate = delegate_.lock();
  if (!delegate) return;
  std::weak_ptr<ProjectsHandler> weak = weak_from_this();
  delegate->selectMoveDestination([weak, interface = interface_, id, projectID = params.projectID](DialogResult folder) {
    if (!folder) {
      interface->send(RPC::Response::error(id, folder.error()));
      return;
    }
    auto self = weak.lock();
    if (self && self->moveProject(projectID, *folder))
      interface->send(RPC::Response::make<ResponseCase::projectsMove>(id));
    else
      interface->send(RPC::Response::error(id, "Unable to move project"));
  });
}

void ProjectsHandler::handleSaveAs(const std::string& id, const RPCRequestProjectsSaveAsParams& params) {
  auto delegate = delegate_.lock();
  if (!delegate) return;
  auto reference = projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->reference(params.projectID); });
  KestromDialogType::Save save;
  if (reference) save.name = reference->name;
  delegate->presentDialog({save}, [interface = interface_, id](DialogResult chosen) {
    RPCResponseProjectsSaveAsParams result;
    if (chosen) result.filePath = chosen->lexically_normal().string();
    interface->send(RPC::Response::make<ResponseCase::projectsSaveAs>(id, std::move(result)));
  });
}

void ProjectsHandler::handleShowOpenDialog(const std::string& id) {
  if (auto delegate = delegate_.lock()) {
    std::weak_ptr<ProjectsHandler> weak = weak_from_this();
    delegate->presentDialog({KestromDialogType::Open{}}, [weak](DialogResult chosen) {
      if (auto self = weak.lock(); self && chosen) (void)self->openProjectURL(*chosen);
    });
  }
  interface_->send(RPC::Response::make<ResponseCase::projectsShowOpenDialog>(id));
}

void ProjectsHandler::handleChangeProjectFolder(const std::string& id,
                                                const RPCRequestProjectsChangeProjectFolderParams& params) {
  changeProjectFolder(params.path.metadata, params.migrateProjects);
  interface_->send(RPC::Response::make<ResponseCase::projectsChangeProjectFolder>(id));
}

void ProjectsHandler::handleShare(const std::string& id, const RPCRequestProjectsShareParams& params) {
  ProjectService::share(id, params.projectID, *interface_, *projectInfoStore_, delegate_);
}

std::filesystem::path ProjectsHandler::projectFolder() const {
  std::lock_guard lock(mutex_);
  return projectFolder_;
}

ProjectFolderStatus ProjectsHandler::projectFolderStatus() const {
  std::error_code error;
  return std::filesystem::is_directory(projectFolder(), error) ? ProjectFolderStatus::ok : ProjectFolderStatus::missing;
}

void ProjectService::share(const std::string& requestID, const std::string& projectID, RPCInterface& interface,
                           ProjectInfoStore& store, const std::weak_ptr<ProjectsDelegate>& delegate) {
  auto reference = store.queue()->syncValue([&] { return store.reference(projectID); });
  auto strong = delegate.lock();
  if (!reference || !strong) {
    interface.send(RPC::Response::error(requestID, "Unable to share project: " + projectID));
    return;
  }
  strong->share({Constants::expandTildePath(reference->filePath)});
  interface.send(RPC::Response::make<RPC::Response::Case::projectsMove>(requestID));
}

}  // namespace kestrom

#include "KestromKit/storage/ProjectsHandler.h"

#include "KestromKit/base/Constants.h"

namespace kestrom {

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

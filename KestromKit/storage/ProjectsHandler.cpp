#include "KestromKit/storage/ProjectsHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "KestromKit/base/Constants.h"
#include "KestromKit/rpc/RPCNotification.h"
#include "KestromKit/rpc/RPCResponse.h"
#include "KestromKit/storage/ChosenFolders.h"
#include "platform/bookmarks/Bookmarks.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/log/GuardedCallback.h"

namespace kestrom {

namespace fs = std::filesystem;
using Kind = ProjectsHandlerError::Kind;

namespace {

ProjectsHandlerError error(Kind kind, std::string value, std::string filePath = {}) {
  return ProjectsHandlerError{kind, std::move(value), std::move(filePath), {}};
}

/// Whether the file at `path` is gone: only "no such file" and "not a folder" count.
bool isGone(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

}  // namespace

ProjectsHandler::ProjectsHandler(std::shared_ptr<RPCInterface> interface, std::string projectFolderName,
                                 std::string fileExtension, std::shared_ptr<ProjectInfoStore> projectInfoStore,
                                 bool verbose, std::shared_ptr<defaults::UserDefaults> userDefaults,
                                 std::shared_ptr<ids::IdGenerator> ids)
    : interface_(std::move(interface)),
      library_(std::make_shared<ProjectLibrary>(std::move(projectFolderName), std::move(fileExtension),
                                                std::move(projectInfoStore), verbose, std::move(userDefaults),
                                                std::move(ids))),
      listQueue_(dispatch::makeSerialQueue("ProjectsList")) {}

// ---- the page's order ----------------------------------------------------------------------------

void ProjectsHandler::postChange(std::function<void()> change) {
  std::lock_guard lock(mutex_);
  // Posted under the lock: the queue runs the changes in the order of their numbers.
  const std::uint64_t number = ++changesPosted_;
  library_->queue()->async([weak = weak_from_this(), change = std::move(change), number] {
    struct Done {
      const std::weak_ptr<ProjectsHandler>& weak;
      std::uint64_t number;
      ~Done() {
        // A destructor must not throw: what waits runs guarded.
        log::guardedCallback("Projects change done", [this] {
          if (auto self = weak.lock()) self->changeDone(number);
        });
      }
    } done{weak, number};  // also when the change throws: what waits for it must not wait forever
    change();
  });
}

void ProjectsHandler::changeDone(std::uint64_t number) {
  std::vector<std::function<void()>> ready;
  {
    std::lock_guard lock(mutex_);
    changesDone_ = number;
    // Waiting work is kept in the order it came, which is the order of the changes it waits for.
    auto waiting = afterChanges_.begin();
    for (; waiting != afterChanges_.end() && waiting->first <= number; ++waiting)
      ready.push_back(std::move(waiting->second));
    afterChanges_.erase(afterChanges_.begin(), waiting);
  }
  for (auto& work : ready) work();
}

void ProjectsHandler::afterPostedChanges(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    if (changesDone_ != changesPosted_) {
      afterChanges_.emplace_back(changesPosted_, std::move(work));
      return;
    }
  }
  work();
}

std::vector<std::string> ProjectsHandler::initialProjects() {
  std::lock_guard lock(mutex_);
  initialProjectsRequested_ = true;
  return std::exchange(initialProjectIDs_, {});
}

void ProjectsHandler::requestAllProjectsAsync(std::function<void(std::vector<RPCProjectItem>)> done) {
  afterPostedChanges([listQueue = listQueue_, library = library_, done = std::move(done)]() mutable {
    listQueue->async([library, done = std::move(done)] {
      auto items = library->requestAllProjects();
      if (done) done(std::move(items));
    });
  });
}

// ---- opening from outside ------------------------------------------------------------------------

ProjectsResult<void> ProjectsHandler::openProjectURL(const fs::path& url) {
  auto opened = library_->openProjectURL(url);
  if (!opened) return makeUnexpected(opened.error());
  announceOpenedProject(*opened);
  return {};
}

bool ProjectsHandler::openProjectURLAsync(const fs::path& url, std::function<void(const ProjectsResult<void>&)> done) {
  // stat, unlike open, never waits on a pipe; a plain look at the type is all main does.
  struct stat info {};
  if (::stat(url.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    Constants::log().projects.error("Unable to open project %s: it is no regular file", url.string());
    if (done) done(makeUnexpected(error(Kind::notAFile, url.string())));
    return false;
  }
  // A "/projects/initialprojects" sent meanwhile waits for it: a file handed over before the page
  // asked comes back in that answer.
  postChange([weak = weak_from_this(), url, done = std::move(done)] {
    auto self = weak.lock();
    if (!self) return;
    auto opened = self->openProjectURL(url);
    if (!opened)
      Constants::log().projects.error("Unable to open project %s: %s", url.string(), opened.error().description());
    if (done) done(opened);
  });
  return true;
}

void ProjectsHandler::answerInitialProjects(const std::string& id, std::vector<std::string> ids) {
  interface_->send(RPC::Response::make<RPC::Response::Case::projectsRequestInitialProjects>(
      id, RPCResponseProjectsRequestInitialProjectsParams{std::move(ids)}));
}

void ProjectsHandler::announceOpenedProject(const std::string& id) {
  {
    std::lock_guard lock(mutex_);
    if (!initialProjectsRequested_) {
      initialProjectIDs_.push_back(id);
      return;
    }
  }
  if (interface_)
    interface_->send(RPCMessage(RPC::Notification::make<RPC::Notification::Case::projectsRequestOpen>(
        RPCNotifyProjectsRequestOpenParams{{id}})));
}

// ---- the page's requests -------------------------------------------------------------------------

using ResponseCase = RPC::Response::Case;

void ProjectsHandler::changeProjectFolder(const std::optional<std::string>& bookmark, bool migrateProjects) {
  KESTROM_ASSERT_ON_QUEUE(library_->queue());
  const auto& folderName = library_->projectFolderName();
  auto resolved = bookmark ? bookmarks::resolveBookmark(*bookmark) : std::nullopt;
  // Only a folder the user chose in the folder dialog, or the one in use: a made-up bookmark
  // could otherwise plant the project folder anywhere.
  if (!resolved || !ChosenFolders::shared().allows(*resolved, library_->projectFolder())) return;
  fs::path folder = *resolved;
  if (folder.filename() != folderName) {
    folder /= folderName;
    std::error_code code;
    fs::create_directories(folder, code);
    if (code)
      Constants::log().projects.error("Unable to create the project folder %s: %s", folder.string(), code.message());
  }
  library_->changeProjectFolder(folder, migrateProjects);
}

void ProjectsHandler::changeProjectFolderAsync(std::optional<std::string> bookmark, bool migrateProjects,
                                               std::function<void()> done) {
  postChange([weak = weak_from_this(), bookmark = std::move(bookmark), migrateProjects, done = std::move(done)] {
    if (auto self = weak.lock()) self->changeProjectFolder(bookmark, migrateProjects);
    if (done) done();
  });
}

void ProjectsHandler::handleDelete(const std::string& id, const RPCRequestProjectsDeleteParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  postChange([library = library_, interface = interface_, id, projectID = params.projectID] {
    if (auto deleted = library->deleteProject(projectID); deleted) {
      interface->send(RPC::Response::make<ResponseCase::projectsDelete>(id));
    } else {
      Constants::log().projects.error("Unable to delete project: %s", deleted.error().description());
      interface->send(RPC::Response::error(id, "Unable to delete project"));
    }
  });
}

void ProjectsHandler::handleList(const std::string& id) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  requestAllProjectsAsync([interface = interface_, id](std::vector<RPCProjectItem> items) {
    interface->send(RPC::Response::make<ResponseCase::projectsRequestAll>(
        id, RPCResponseProjectsRequestAllParams{std::move(items)}));
  });
}

void ProjectsHandler::handleInitialProjects(const std::string& id) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  // Inline when nothing is pending; else on the library's queue, where the handler is held.
  afterPostedChanges([this, id] { answerInitialProjects(id, initialProjects()); });
}

void ProjectsHandler::handleMove(const std::string& id, const RPCRequestProjectsMoveParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto delegate = delegate_.lock();
  if (!delegate) {
    interface_->send(RPC::Response::error(id, "Unable to move project"));
    return;
  }
  delegate->selectMoveDestination([weak = weak_from_this(), interface = interface_, id,
                                   projectID = params.projectID](DialogResult folder) {
    if (!folder) {
      interface->send(RPC::Response::error(id, folder.error()));
      return;
    }
    auto self = weak.lock();
    if (!self) {
      interface->send(RPC::Response::error(id, "Unable to move project"));
      return;
    }
    self->postChange([library = self->library_, interface, id, projectID, folder = *folder] {
      if (auto moved = library->moveProject(projectID, folder); moved) {
        interface->send(RPC::Response::make<ResponseCase::projectsMove>(id));
      } else {
        Constants::log().projects.error("Unable to move project: %s", moved.error().description());
        interface->send(RPC::Response::error(id, "Unable to move project"));
      }
    });
  });
}

void ProjectsHandler::handleSaveAs(const std::string& id, const RPCRequestProjectsSaveAsParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto delegate = delegate_.lock();
  if (!delegate) {
    interface_->send(RPC::Response::error(id, "Unable to save project"));
    return;
  }
  auto reference = library_->lookUp(params.projectID);
  KestromDialogType::Save save;
  if (reference) save.name = reference->name;
  delegate->presentDialog({save}, [library = library_, interface = interface_, id](DialogResult chosen) {
    RPCResponseProjectsSaveAsParams result;
    if (chosen) {
      fs::path path = chosen->lexically_normal();
      if (path.extension() != "." + library->fileExtension()) path += "." + library->fileExtension();
      library->allowSaveAsPath(path);
      result.filePath = path.string();
    }
    interface->send(RPC::Response::make<ResponseCase::projectsSaveAs>(id, std::move(result)));
  });
}

void ProjectsHandler::handleShowOpenDialog(const std::string& id) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (auto delegate = delegate_.lock()) {
    delegate->presentDialog({KestromDialogType::Open{}}, [weak = weak_from_this()](DialogResult chosen) {
      auto self = weak.lock();
      if (!self || !chosen) return;
      (void)self->openProjectURLAsync(*chosen);
    });
  }
  interface_->send(RPC::Response::make<ResponseCase::projectsShowOpenDialog>(id));
}

void ProjectsHandler::handleChangeProjectFolder(const std::string& id,
                                                const RPCRequestProjectsChangeProjectFolderParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  changeProjectFolderAsync(params.path.metadata, params.migrateProjects, [interface = interface_, id] {
    interface->send(RPC::Response::make<ResponseCase::projectsChangeProjectFolder>(id));
  });
}

// ---- sharing -------------------------------------------------------------------------------------

ProjectsResult<void> ProjectsHandler::shareProject(const std::string& id, ProjectsDelegate* delegate) {
  const auto stored = library_->lookUp(id);
  if (!stored) return makeUnexpected(error(Kind::unknownProjectId, id));
  const fs::path path = Constants::expandTildePath(stored->filePath);
  if (isGone(path)) return makeUnexpected(error(Kind::missingProjectFile, id, path.string()));
  if (delegate) delegate->share({path});
  return {};
}

void ProjectsHandler::handleShare(const std::string& id, const RPCRequestProjectsShareParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  const auto delegate = delegate_.lock();
  const auto shared = shareProject(params.projectID, delegate.get());
  if (shared) {
    interface_->send(RPC::Response::make<ResponseCase::projectsShare>(id));
    return;
  }
  const auto& failure = shared.error();
  switch (failure.kind) {
    case Kind::unknownProjectId:
      interface_->send(RPC::Response::error(id, "Unable to share project. Unknown project id " + params.projectID));
      return;
    case Kind::missingProjectFile:
      interface_->send(RPC::Response::error(id, "Unable to share project. Missing file for project id " +
                                                    params.projectID + " at path " + failure.filePath));
      return;
    default:
      interface_->send(RPC::Response::error(id, "Unable to share project"));
      return;
  }
}

}  // namespace kestrom

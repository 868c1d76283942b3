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
      queue_(dispatch::makeSerialQueue("ProjectsHandler")),
      listQueue_(dispatch::makeSerialQueue("ProjectsList")) {}

std::vector<std::string> ProjectsHandler::initialProjects() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  std::lock_guard lock(initialMutex_);
  initialProjectsRequested_ = true;
  return std::exchange(initialProjectIDs_, {});
}

void ProjectsHandler::requestAllProjectsAsync(std::function<void(std::vector<RPCProjectItem>)> done) {
  listQueue_->async([library = library_, done = std::move(done)] {
    auto items = library->requestAllProjects();
    if (done) done(std::move(items));
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
  {
    // Until it is done, "/projects/initialprojects" waits for it: a file handed over before the
    // page asked comes back in that answer.
    std::lock_guard lock(initialMutex_);
    ++pendingOpens_;
  }
  std::weak_ptr<ProjectsHandler> weak = weak_from_this();
  library_->queue()->async([weak, url, done = std::move(done)] {
    auto self = weak.lock();
    if (!self) return;
    auto opened = self->openProjectURL(url);
    if (!opened)
      Constants::log().projects.error("Unable to open project %s: %s", url.string(), opened.error().description());
    if (done) done(opened);
    self->finishPendingOpen();
  });
  return true;
}

void ProjectsHandler::finishPendingOpen() {
  std::vector<std::string> waiting;
  std::vector<std::string> ids;
  {
    std::lock_guard lock(initialMutex_);
    if (--pendingOpens_ > 0 || waitingInitialRequests_.empty()) return;
    waiting = std::exchange(waitingInitialRequests_, {});
    initialProjectsRequested_ = true;
    ids = std::exchange(initialProjectIDs_, {});
  }
  for (std::size_t i = 0; i < waiting.size(); ++i)
    answerInitialProjects(waiting[i], i == 0 ? ids : std::vector<std::string>{});
}

void ProjectsHandler::answerInitialProjects(const std::string& id, std::vector<std::string> ids) {
  interface_->send(RPC::Response::make<RPC::Response::Case::projectsRequestInitialProjects>(
      id, RPCResponseProjectsRequestInitialProjectsParams{std::move(ids)}));
}

void ProjectsHandler::announceOpenedProject(const std::string& id) {
  queue_->sync([&] {
    std::lock_guard lock(initialMutex_);
    if (!initialProjectsRequested_) {
      initialProjectIDs_.push_back(id);
      return;
    }
    if (interface_)
      interface_->send(RPCMessage(RPC::Notification::make<RPC::Notification::Case::projectsRequestOpen>(
          RPCNotifyProjectsRequestOpenParams{{id}})));
  });
}

// ---- the page's requests -------------------------------------------------------------------------

using ResponseCase = RPC::Response::Case;

void ProjectsHandler::changeProjectFolder(const std::optional<std::string>& bookmark, bool migrateProjects) {
  library_->queue()->sync([&] {
    const auto& folderName = library_->projectFolderName();
    auto resolved = bookmark ? bookmarks::resolveBookmark(*bookmark) : std::nullopt;
    // Only a folder the user chose in the folder dialog, or the one in use: a made-up bookmark
    // could otherwise plant the project folder anywhere.
    if (!resolved || !ChosenFolders::shared().allows(*resolved, projectFolder())) return;
    fs::path folder = *resolved;
    if (folder.filename() != folderName) {
      folder /= folderName;
      std::error_code code;
      fs::create_directories(folder, code);
      if (code)
        Constants::log().projects.error("Unable to create the project folder %s: %s", folder.string(), code.message());
    }
    library_->changeProjectFolder(folder, migrateProjects);
  });
}

void ProjectsHandler::changeProjectFolderAsync(std::optional<std::string> bookmark, bool migrateProjects,
                                               std::function<void()> done) {
  std::weak_ptr<ProjectsHandler> weak = weak_from_this();
  library_->queue()->async([weak, bookmark = std::move(bookmark), migrateProjects, done = std::move(done)] {
    if (auto self = weak.lock()) self->changeProjectFolder(bookmark, migrateProjects);
    if (done) done();
  });
}

void ProjectsHandler::handleDelete(const std::string& id, const RPCRequestProjectsDeleteParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  library_->queue()->async([library = library_, interface = interface_, id, projectID = params.projectID] {
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
  std::optional<std::vector<std::string>> ids = queue_->syncValue([&]() -> std::optional<std::vector<std::string>> {
    std::lock_guard lock(initialMutex_);
    if (pendingOpens_ > 0) {
      waitingInitialRequests_.push_back(id);  // answered when the last open is done
      return std::nullopt;
    }
    initialProjectsRequested_ = true;
    return std::exchange(initialProjectIDs_, {});
  });
  if (ids) answerInitialProjects(id, std::move(*ids));
}

void ProjectsHandler::handleMove(const std::string& id, const RPCRequestProjectsMoveParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto delegate = delegate_.lock();
  if (!delegate) return;
  std::weak_ptr<ProjectsHandler> weak = weak_from_this();
  std::weak_ptr<ProjectLibrary> library = library_;
  delegate->selectMoveDestination([library, interface = interface_, id, projectID = params.projectID](DialogResult folder) {
    if (!folder) {
      interface->send(RPC::Response::error(id, folder.error()));
      return;
    }
    auto self = library.lock();
    if (!self) {
      interface->send(RPC::Response::error(id, "Unable to move project"));
      return;
    }
    self->queue()->async([library, interface, id, projectID, folder = *folder] {
      auto self = library.lock();
      auto moved = self ? self->moveProject(projectID, folder) : ProjectsResult<void>{};
      if (self && moved) {
        interface->send(RPC::Response::make<ResponseCase::projectsMove>(id));
        return;
      }
      if (!moved) Constants::log().projects.error("Unable to move project: %s", moved.error().description());
      interface->send(RPC::Response::error(id, "Unable to move project"));
    });
  });
}

void ProjectsHandler::handleSaveAs(const std::string& id, const RPCRequestProjectsSaveAsParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  auto delegate = delegate_.lock();
  if (!delegate) return;
  auto reference = library_->lookUp(params.projectID);
  KestromDialogType::Save save;
  if (reference) save.name = reference->name;
  std::weak_ptr<ProjectsHandler> weak = weak_from_this();
  delegate->presentDialog({save}, [weak, interface = interface_, id](DialogResult chosen) {
    RPCResponseProjectsSaveAsParams result;
    auto self = weak.lock();
    if (chosen && self) {
      fs::path path = chosen->lexically_normal();
      if (path.extension() != "." + self->fileExtension()) path += "." + self->fileExtension();
      self->allowSaveAsPath(path);
      result.filePath = path.string();
    }
    interface->send(RPC::Response::make<ResponseCase::projectsSaveAs>(id, std::move(result)));
  });
}

void ProjectsHandler::handleShowOpenDialog(const std::string& id) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (auto delegate = delegate_.lock()) {
    std::weak_ptr<ProjectsHandler> weak = weak_from_this();
    delegate->presentDialog({KestromDialogType::Open{}}, [weak](DialogResult chosen) {
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

void ProjectsHandler::handleShare(const std::string& id, const RPCRequestProjectsShareParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  ProjectService::share(id, params.projectID, *interface_, *this, delegate_);
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

namespace {

void answerShare(const std::string& requestID, const std::string& projectID, RPCInterface& interface,
                 const ProjectsResult<void>& shared) {
  if (shared) {
    interface.send(RPC::Response::make<RPC::Response::Case::projectsMove>(requestID));
    return;
  }
  const auto& failure = shared.error();
  switch (failure.kind) {
    case Kind::unknownProjectId:
      interface.send(RPC::Response::error(requestID, "Unable to share project. Unknown project id " + projectID));
      return;
    case Kind::missingProjectFile:
      interface.send(RPC::Response::error(requestID, "Unable to share project. Missing file for project id " +
                                                         projectID + " at path " + failure.filePath));
      return;
    default:
      interface.send(RPC::Response::error(requestID, "Unable to share project"));
      return;
  }
}

}  // namespace

void ProjectService::share(const std::string& requestID, const std::string& projectID, RPCInterface& interface,
                           ProjectsHandler& handler, const std::weak_ptr<ProjectsDelegate>& delegate) {
  auto strong = delegate.lock();
  answerShare(requestID, projectID, interface, handler.shareProject(projectID, strong.get()));
}

void ProjectService::share(const std::string& requestID, const std::string& projectID, RPCInterface& interface,
                           ProjectInfoStore& store, const std::weak_ptr<ProjectsDelegate>& delegate) {
  auto reference = store.queue()->syncValue([&] { return store.reference(projectID); });
  ProjectsResult<void> shared;
  if (!reference) {
    shared = makeUnexpected(error(Kind::unknownProjectId, projectID));
  } else {
    const fs::path path = Constants::expandTildePath(reference->filePath);
    if (isGone(path))
      shared = makeUnexpected(error(Kind::missingProjectFile, projectID, path.string()));
    else if (auto strong = delegate.lock())
      strong->share({path});
  }
  answerShare(requestID, projectID, interface, shared);
}

}  // namespace kestrom

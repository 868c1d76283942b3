#include "KestromKit/storage/ProjectsHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "KestromKit/base/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/ChosenFolders.h"
#include "KestromKit/rpc/RPCNotification.h"
#include "KestromKit/rpc/RPCResponse.h"
#include "KestromKit/storage/Project.h"
#include "KestromKit/storage/ProjectNames.h"
#include "platform/archive/Archive.h"
#include "platform/bookmarks/Bookmarks.h"

namespace kestrom {

namespace fs = std::filesystem;
using Kind = ProjectsHandlerError::Kind;

namespace {

constexpr int kMaxNameAttempts = 100;  // names taken between the check and the write, in a row

ProjectsHandlerError error(Kind kind, std::string value, std::string filePath = {}, std::string detail = {}) {
  return ProjectsHandlerError{kind, std::move(value), std::move(filePath), std::move(detail)};
}

auto fileSystemError(const fs::path& path, std::error_code code) {
  return makeUnexpected(error(Kind::fileSystem, path.string(), {}, code.message()));
}

std::string placeholderSVG() {
  return R"(<?xml version="1.0" standalone="no"?><svg viewBox="0 0 0 0"  version="1.1" xmlns="http://www.w3.org/2000/svg"></svg>)";
}

enum class Presence { present, gone, unknown };

/// Whether something is at `path`. Only "no such file" and "not a folder" count as gone: an
/// unreadable folder or an unmounted volume must not make a project disappear from the index.
Presence presence(const fs::path& path, struct stat* info = nullptr) {
  struct stat local {};
  if (::stat(path.c_str(), info ? info : &local) == 0) return Presence::present;
  return errno == ENOENT || errno == ENOTDIR ? Presence::gone : Presence::unknown;
}

bool sameFile(const fs::path& a, const fs::path& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

Date toDate(std::int64_t seconds, std::int64_t nanoseconds) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::seconds(seconds) +
                                                         std::chrono::nanoseconds(nanoseconds)));
}

/// The file's birth time where the file system keeps one, else its last change.
std::optional<Date> birthTime(const fs::path& path) {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) != 0) return std::nullopt;
  if (info.stx_mask & STATX_BTIME) return toDate(info.stx_btime.tv_sec, info.stx_btime.tv_nsec);
  return toDate(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
}

/// The file a write at `target` should replace: a symbolic link stays a link, and the file it
/// points to gets the new bytes.
fs::path writeTarget(const fs::path& target) {
  std::error_code code;
  if (fs::is_symlink(target, code)) {
    auto resolved = fs::canonical(target, code);
    if (!code) return resolved;
  }
  return target;
}

fs::path absoluteNormal(const fs::path& path) {
  std::error_code code;
  auto absolute = fs::absolute(path, code);
  return (code ? path : absolute).lexically_normal();
}

}  // namespace

std::string ProjectsHandlerError::description() const {
  static constexpr const char* kNames[] = {"emptyId",          "emptyName",         "emptyData",       "unableToOpenZip",
                                           "missingFileInZip", "unknownProjectId",  "missingProjectFile",
                                           "unableToWriteFile", "invalidManifest",  "pathNotAllowed",  "notAFile",
                                           "fileSystem"};
  std::string text = std::string(kNames[static_cast<int>(kind)]) + "(" + value;
  if (!filePath.empty()) text += ", " + filePath;
  text += ")";
  if (!detail.empty()) text += ": " + detail;
  return text;
}

ProjectsHandler::ProjectsHandler(std::shared_ptr<RPCInterface> interface, std::string projectFolderName,
                                 std::string fileExtension, std::shared_ptr<ProjectInfoStore> projectInfoStore,
                                 bool verbose, std::shared_ptr<defaults::UserDefaults> userDefaults,
                                 std::shared_ptr<ids::IdGenerator> ids)
    : emptySVG_(placeholderSVG()),
      interface_(std::move(interface)),
      projectFolderName_(std::move(projectFolderName)),
      fileExtension_(std::move(fileExtension)),
      projectInfoStore_(std::move(projectInfoStore)),
      verbose_(verbose),
      queue_(dispatch::makeSerialQueue("ProjectsHandler")),
      projectFolder_(std::make_unique<MacOsProjectFolderHolder>(projectFolderName_, std::move(userDefaults))),
      ids_(ids ? std::move(ids) : std::make_shared<ids::RandomIdGenerator>()) {}

std::optional<ProjectReference> ProjectsHandler::lookUp(const std::string& id) const {
  return projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->reference(id); });
}

// ---- listing -------------------------------------------------------------------------------------

std::vector<RPCProjectItem> ProjectsHandler::requestAllProjects() {
  std::lock_guard lock(fileMutex_);
  const auto references = projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->allReferences(); });
  const fs::path& trash = Constants::path().macOS.trash;
  std::vector<std::string> gone;
  std::vector<RPCProjectItem> items;
  items.reserve(references.size());
  for (const auto& reference : references) {
    const fs::path url = projectFileURL(reference);
    if (liesInFolder(url, trash)) {
      gone.push_back(reference.id);
      continue;
    }
    struct statx info {};
    if (::statx(AT_FDCWD, url.c_str(), 0, STATX_BTIME | STATX_MTIME | STATX_SIZE | STATX_TYPE, &info) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) gone.push_back(reference.id);
      // Any other failure (an unmounted volume, a folder without permission) keeps the entry.
      continue;
    }
    if (!S_ISREG(info.stx_mode)) continue;
    RPCProjectItem item;
    item.id = reference.id;
    item.name = reference.name;
    item.lastsaved = toDate(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
    item.created = reference.created ? *reference.created
                   : (info.stx_mask & STATX_BTIME) ? toDate(info.stx_btime.tv_sec, info.stx_btime.tv_nsec)
                                                   : item.lastsaved;
    item.size = static_cast<double>(info.stx_size);
    items.push_back(std::move(item));
  }
  if (!gone.empty())
    projectInfoStore_->queue()->sync([&] {
      for (const auto& id : gone) projectInfoStore_->removeReference(id);
    });
  return items;
}

std::vector<std::string> ProjectsHandler::initialProjects() {
  std::lock_guard lock(initialMutex_);
  initialProjectsRequested_ = true;
  return std::exchange(initialProjectIDs_, {});
}

// ---- saving --------------------------------------------------------------------------------------

ProjectsResult<fs::path> ProjectsHandler::uniqueProjectURL(const fs::path& candidate) const {
  std::vector<std::string> taken;
  const fs::path folder = candidate.parent_path();
  std::error_code code;
  if (fs::exists(folder, code)) {
    for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code))
      taken.push_back(it->path().stem().string());
    if (code) return fileSystemError(folder, code);
  }
  const auto references = projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->allReferences(); });
  const fs::path& trash = Constants::path().macOS.trash;
  for (const auto& reference : references) {
    const fs::path url = projectFileURL(reference);
    if (!liesInFolder(url, trash) && presence(url) == Presence::present) taken.push_back(reference.name);
  }
  return ProjectNames::nextAvailableName(taken, candidate);
}

ProjectsResult<fs::path> ProjectsHandler::writeProject(fs::path target, const std::string& id, const std::string& name,
                                                       std::string_view data, WriteMode mode,
                                                       const std::optional<ProjectReference>& previous) {
  std::error_code code;
  if (const auto folder = target.parent_path(); !folder.empty() && presence(folder) == Presence::gone) {
    fs::create_directories(folder, code);
    if (code) return fileSystemError(folder, code);
  }
  std::optional<Date> created = previous ? previous->created : std::nullopt;
  if (mode == WriteMode::replace) {
    target = writeTarget(target);
    if (!created) created = birthTime(target);
    if (auto written = AtomicFile::write(target, data); !written)
      return makeUnexpected(error(Kind::unableToWriteFile, target.string(), {}, written.error().message()));
  } else {
    for (int attempt = 0;; ++attempt) {
      auto written = AtomicFile::writeNew(target, data);
      if (written) break;
      if (written.error() != std::errc::file_exists || attempt + 1 >= kMaxNameAttempts)
        return makeUnexpected(error(Kind::unableToWriteFile, target.string(), {}, written.error().message()));
      // Someone took the name between the check and the write: take the next free one.
      auto next = uniqueProjectURL(target);
      if (!next) return makeUnexpected(next.error());
      target = *next;
    }
  }
  if (!created) created = std::chrono::time_point_cast<Date::duration>(std::chrono::system_clock::now());
  ProjectReference reference{id, Constants::tildePath(target), name, bookmarks::makeBookmark(target), created};
  // A plain save changes nothing in the entry: the index is left as it is (no second flush).
  if (!previous || *previous != reference) projectInfoStore_->setReference(reference, id);
  if (verbose_) Constants::log().projects.info("Saved project '%s' to %s", name, target.string());
  return target;
}

static ProjectsResult<void> validateSaveRequest(const std::string& id, const std::string& name, std::string_view data) {
  if (id.empty()) return makeUnexpected(error(Kind::emptyId, name));
  if (name.empty()) return makeUnexpected(error(Kind::emptyName, id));
  if (data.empty()) return makeUnexpected(error(Kind::emptyData, id));
  return {};
}

ProjectsResult<void> ProjectsHandler::saveProject(const std::string& id, const std::string& name, std::string_view data) {
  if (verbose_) Constants::log().projects.info("Saving project with id %s, name %s", id, name);
  if (auto valid = validateSaveRequest(id, name, data); !valid) return valid;
  std::lock_guard lock(fileMutex_);
  const auto stored = lookUp(id);

  if (stored && stored->name != name) {
    if (verbose_) Constants::log().projects.info("Project save is a rename");
    const fs::path old = absoluteNormal(projectFileURL(*stored));
    const fs::path candidate = ProjectNames::fileURLWithName(name, old);
    if (candidate != old) {
      auto target = uniqueProjectURL(candidate);
      if (target) {
        auto written = writeProject(*target, id, name, data, WriteMode::newFile, stored);
        if (written) {
          // The new file and its entry are safely in place: only now does the old file go.
          struct stat info {};
          if (!sameFile(old, *written) && presence(old, &info) == Presence::present && S_ISREG(info.st_mode) &&
              ::unlink(old.c_str()) != 0)
            Constants::log().projects.error("Unable to remove the old project file %s: %s", old.string(),
                                            std::strerror(errno));
          return {};
        }
        Constants::log().projects.error("Unable to save project under its new name: %s", written.error().description());
      }
      // Renaming failed: the project is written under its old file name, with the new name.
    }
    auto written = writeProject(old, id, name, data, WriteMode::replace, stored);
    if (!written) return makeUnexpected(written.error());
    return {};
  }

  if (stored) {
    if (verbose_) Constants::log().projects.info("Project save is a normal save");
    auto written = writeProject(absoluteNormal(projectFileURL(*stored)), id, name, data, WriteMode::replace, stored);
    if (!written) return makeUnexpected(written.error());
    return {};
  }

  if (verbose_) Constants::log().projects.info("Project save is a new or duplicated project");
  fs::path folder = projectFolder();
  const fs::path candidate = ProjectNames::fileURLWithName(name, folder / ("project." + fileExtension_));
  auto target = uniqueProjectURL(candidate);
  if (!target) return makeUnexpected(target.error());
  auto written = writeProject(*target, id, name, data, WriteMode::newFile, std::nullopt);
  if (!written) return makeUnexpected(written.error());
  return {};
}

void ProjectsHandler::allowSaveAsPath(const fs::path& path) {
  std::lock_guard lock(fileMutex_);
  saveAsPaths_.insert(absoluteNormal(path));
}

ProjectsResult<std::optional<std::string>> ProjectsHandler::saveProjectAs(const std::string& id, const std::string& name,
                                                                          std::string_view data, const std::string& path) {
  if (verbose_) Constants::log().projects.info("Saving project as with id %s, name %s, path %s", id, name, path);
  if (auto valid = validateSaveRequest(id, name, data); !valid) return makeUnexpected(valid.error());
  std::lock_guard lock(fileMutex_);
  const fs::path target = absoluteNormal(Constants::expandTildePath(path));
  const auto references = projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->allReferences(); });

  // The HTTP server answers any local program: write only where the user chose in the save
  // dialog, or over the file of a project the index already holds.
  bool allowed = target.is_absolute() && target.extension() == "." + fileExtension_ && saveAsPaths_.contains(target);
  std::optional<std::string> overwritten;
  for (const auto& reference : references) {
    const fs::path file = absoluteNormal(Constants::expandTildePath(reference.filePath));
    if (file != target && !sameFile(file, target)) continue;
    if (target.extension() == "." + fileExtension_) allowed = true;
    if (reference.id != id && !overwritten) overwritten = reference.id;
  }
  if (!allowed) return makeUnexpected(error(Kind::pathNotAllowed, path));

  auto written = writeProject(target, id, name, data, WriteMode::replace, lookUp(id));
  if (!written) return makeUnexpected(written.error());
  if (overwritten) projectInfoStore_->queue()->sync([&] { projectInfoStore_->removeReference(*overwritten); });
  return overwritten;
}

// ---- loading -------------------------------------------------------------------------------------

ProjectsResult<std::string> ProjectsHandler::loadProject(const std::string& id) {
  if (verbose_) Constants::log().projects.info("Loading project id: %s", id);
  const auto stored = lookUp(id);
  if (!stored) return makeUnexpected(error(Kind::unknownProjectId, id));
  const fs::path url = projectFileURL(*stored);
  auto bytes = AtomicFile::read(url);
  if (!bytes) return fileSystemError(url, bytes.error());
  return std::move(*bytes);
}

ProjectsResult<std::string> ProjectsHandler::loadProjectEntry(const std::string& id, const std::string& entry) {
  if (verbose_) Constants::log().projects.info("Loading project id: %s path: %s", id, entry);
  const auto stored = lookUp(id);
  if (!stored) return makeUnexpected(error(Kind::unknownProjectId, id));
  return readProjectZipEntry(projectFileURL(*stored), entry);
}

ProjectsResult<std::string> ProjectsHandler::readProjectZipEntry(const fs::path& url, const std::string& entry) const {
  const auto limit = entry == "manifest.json" ? kMaxManifestBytes : entry == "icon.svg" ? kMaxIconBytes : kMaxEntryBytes;
  auto bytes = archive::readEntry(url, entry, limit);
  if (bytes) return std::move(*bytes);
  if (entry == "icon.svg") return emptySVG_;
  return makeUnexpected(error(Kind::missingFileInZip, url.string(), entry, bytes.error().message));
}

ProjectsResult<void> ProjectsHandler::replaceEntryInProjectZip(const fs::path& path, const std::string& entry,
                                                               std::string_view bytes) const {
  auto replaced = archive::replaceEntry(path, entry, bytes, archive::IfMissing::fail);
  if (replaced) return {};
  switch (replaced.error().code) {
    case archive::ArchiveErrorCode::missingFile:
    case archive::ArchiveErrorCode::unreadableFile:
    case archive::ArchiveErrorCode::notAZip:
      return makeUnexpected(error(Kind::unableToOpenZip, path.string(), {}, replaced.error().message));
    case archive::ArchiveErrorCode::noSuchEntry:
      return makeUnexpected(error(Kind::missingFileInZip, path.string(), entry, replaced.error().message));
    default:
      return makeUnexpected(error(Kind::fileSystem, path.string(), {}, replaced.error().message));
  }
}

// ---- deleting and moving -------------------------------------------------------------------------

ProjectsResult<void> ProjectsHandler::deleteProject(const std::string& id) {
  std::lock_guard lock(fileMutex_);
  const auto stored = lookUp(id);
  if (!stored) return {};
  const fs::path url = projectFileURL(*stored);
  struct stat info {};
  switch (presence(url, &info)) {
    case Presence::gone:
      return {};  // the next listing drops the entry
    case Presence::unknown:
      return fileSystemError(url, {errno, std::generic_category()});
    case Presence::present:
      break;
  }
  // Never a folder (and what is in it), a device or a pipe; a symbolic link goes, not its target.
  if (!S_ISREG(info.st_mode)) return makeUnexpected(error(Kind::notAFile, url.string()));
  if (::unlink(url.c_str()) != 0) return fileSystemError(url, {errno, std::generic_category()});
  projectInfoStore_->queue()->sync([&] { projectInfoStore_->removeReference(id); });
  return {};
}

ProjectsResult<void> ProjectsHandler::moveProject(const std::string& id, const fs::path& folder) {
  std::lock_guard lock(fileMutex_);
  const auto stored = lookUp(id);
  if (!stored) return {};
  const fs::path source = absoluteNormal(projectFileURL(*stored));
  if (presence(source) == Presence::gone) return {};
  const fs::path target = absoluteNormal(folder / source.filename());
  if (target == source) return {};
  if (auto moved = AtomicFile::moveNoReplace(source, target); !moved) return fileSystemError(target, moved.error());
  ProjectReference reference = *stored;
  reference.filePath = Constants::tildePath(target);
  reference.bookmark = bookmarks::makeBookmark(target);
  projectInfoStore_->setReference(reference, id);
  return {};
}

void ProjectsHandler::changeProjectFolder(const fs::path& folder, bool migrateProjects) {
  std::lock_guard lock(fileMutex_);
  const auto current = projectFolder_->projectFolder();
  if (migrateProjects) ProjectFolderMigrator(projectInfoStore_, current.folder, folder).migrate();
  if (!projectFolder_->setProjectFolder(folder))
    Constants::log().projects.error("Unable to keep %s as the project folder after a restart", folder.string());
}

// ---- opening from outside ------------------------------------------------------------------------

ProjectsResult<void> ProjectsHandler::openProjectURL(const fs::path& given) {
  if (verbose_) Constants::log().projects.info("Opening url %s", given.string());
  const fs::path url = absoluteNormal(given);
  std::lock_guard lock(fileMutex_);
  auto bytes = readProjectZipEntry(url, "manifest.json");
  if (!bytes) return makeUnexpected(bytes.error());
  auto manifest = Project::Manifest::read(*bytes);
  if (!manifest) return makeUnexpected(error(Kind::invalidManifest, url.string()));

  std::string filePath = Constants::tildePath(url);
  const auto stored = lookUp(manifest->id);
  std::string id = manifest->id;
  std::string name = manifest->name;
  if (stored && stored->filePath != filePath) {
    const fs::path storedURL = Constants::expandTildePath(stored->filePath);
    if (sameFile(storedURL, url)) {
      filePath = stored->filePath;  // the indexed file reached through another path
    } else {
      name = url.stem().string();
      if (presence(storedURL) != Presence::gone) {
        // A copy of an indexed project: it needs an identity of its own.
        do id = ids_->makeId();
        while (lookUp(id));
      }
      Project::Manifest rewritten{id, name, manifest->rest};
      auto encoded = rewritten.jsonData();
      if (!encoded) return makeUnexpected(error(Kind::invalidManifest, url.string(), {}, encoded.error().description()));
      if (auto replaced = replaceEntryInProjectZip(url, "manifest.json", *encoded); !replaced) return replaced;
    }
  }
  std::optional<Date> created = stored && stored->id == id ? stored->created : std::nullopt;
  if (!created) created = birthTime(url);
  projectInfoStore_->setReference(ProjectReference{id, filePath, name, bookmarks::makeBookmark(url), created}, id);
  announceOpenedProject(id);
  return {};
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
  auto resolved = bookmark ? bookmarks::resolveBookmark(*bookmark) : std::nullopt;
  // Only a folder the user chose in the folder dialog, or the one in use: a made-up bookmark
  // could otherwise plant the project folder anywhere.
  if (!resolved || !ChosenFolders::shared().allows(*resolved, projectFolder())) return;
  fs::path folder = *resolved;
  if (folder.filename() != projectFolderName_) {
    folder /= projectFolderName_;
    std::error_code code;
    fs::create_directories(folder, code);
    if (code) Constants::log().projects.error("Unable to create the project folder %s: %s", folder.string(), code.message());
  }
  changeProjectFolder(folder, migrateProjects);
}

void ProjectsHandler::handleDelete(const std::string& id, const RPCRequestProjectsDeleteParams& params) {
  if (auto deleted = deleteProject(params.projectID); deleted) {
    interface_->send(RPC::Response::make<ResponseCase::projectsDelete>(id));
  } else {
    Constants::log().projects.error("Unable to delete project: %s", deleted.error().description());
    interface_->send(RPC::Response::error(id, "Unable to delete project"));
  }
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
    auto moved = self ? self->moveProject(projectID, *folder) : ProjectsResult<void>{};
    if (self && moved) {
      interface->send(RPC::Response::make<ResponseCase::projectsMove>(id));
      return;
    }
    if (!moved) Constants::log().projects.error("Unable to move project: %s", moved.error().description());
    interface->send(RPC::Response::error(id, "Unable to move project"));
  });
}

void ProjectsHandler::handleSaveAs(const std::string& id, const RPCRequestProjectsSaveAsParams& params) {
  auto delegate = delegate_.lock();
  if (!delegate) return;
  auto reference = lookUp(params.projectID);
  KestromDialogType::Save save;
  if (reference) save.name = reference->name;
  std::weak_ptr<ProjectsHandler> weak = weak_from_this();
  delegate->presentDialog({save}, [weak, interface = interface_, id](DialogResult chosen) {
    RPCResponseProjectsSaveAsParams result;
    auto self = weak.lock();
    if (chosen && self) {
      fs::path path = chosen->lexically_normal();
      if (path.extension() != "." + self->fileExtension_) path += "." + self->fileExtension_;
      self->allowSaveAsPath(path);
      result.filePath = path.string();
    }
    interface->send(RPC::Response::make<ResponseCase::projectsSaveAs>(id, std::move(result)));
  });
}

void ProjectsHandler::handleShowOpenDialog(const std::string& id) {
  if (auto delegate = delegate_.lock()) {
    std::weak_ptr<ProjectsHandler> weak = weak_from_this();
    delegate->presentDialog({KestromDialogType::Open{}}, [weak](DialogResult chosen) {
      auto self = weak.lock();
      if (!self || !chosen) return;
      if (auto opened = self->openProjectURL(*chosen); !opened)
        Constants::log().projects.error("Unable to open project: %s", opened.error().description());
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
  ProjectService::share(id, params.projectID, *interface_, *this, delegate_);
}

// ---- sharing -------------------------------------------------------------------------------------

ProjectsResult<void> ProjectsHandler::shareProject(const std::string& id, ProjectsDelegate* delegate) {
  const auto stored = lookUp(id);
  if (!stored) return makeUnexpected(error(Kind::unknownProjectId, id));
  const fs::path path = Constants::expandTildePath(stored->filePath);
  if (presence(path) == Presence::gone) return makeUnexpected(error(Kind::missingProjectFile, id, path.string()));
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
    if (presence(path) == Presence::gone)
      shared = makeUnexpected(error(Kind::missingProjectFile, projectID, path.string()));
    else if (auto strong = delegate.lock())
      strong->share({path});
  }
  answerShare(requestID, projectID, interface, shared);
}

}  // namespace kestrom

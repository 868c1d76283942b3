#include "KestromKit/storage/ProjectLibrary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/Project.h"
#include "KestromKit/storage/ProjectNames.h"
#include "platform/archive/Archive.h"
#include "platform/bookmarks/Bookmarks.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/log/RequestValue.h"

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

auto indexNotWritten(const std::string& id) {
  return makeUnexpected(error(Kind::indexNotWritten, id, {}, "The project index could not be written"));
}

std::string placeholderSVG() {
  return R"(<?xml version="1.0" standalone="no"?><svg viewBox="0 0 0 0"  version="1.1" xmlns="http://www.w3.org/2000/svg"></svg>)";
}

/// The most bytes an entry may hold to be read or answered.
std::uint64_t entryLimit(std::string_view entry) {
  return entry == "manifest.json" ? ProjectLibrary::kMaxManifestBytes
         : entry == "icon.svg"    ? ProjectLibrary::kMaxIconBytes
                                  : ProjectLibrary::kMaxEntryBytes;
}

/// Why the archive `written` (on its way to `target`) could not be read back entry by entry: it
/// is no ZIP archive, an entry does not read, or an entry is larger than `entryLimit` allows.
std::optional<ProjectsHandlerError> unreadableBack(const fs::path& written, const fs::path& target) {
  auto verified = archive::verifyEntries(written, entryLimit);
  if (verified) return std::nullopt;
  if (verified.error().code == archive::ArchiveErrorCode::entryTooLarge)
    return error(Kind::entryTooLarge, target.string(), verified.error().entry, verified.error().message);
  return error(Kind::unableToOpenZip, target.string(), verified.error().entry, verified.error().message);
}

/// A save that failed because of what the page sent, not because of the disk.
bool refusedData(const ProjectsHandlerError& failure) {
  return failure.kind == Kind::unableToOpenZip || failure.kind == Kind::entryTooLarge;
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

/// When the file was last written: the "lastsaved" a listing shows.
std::optional<Date> modificationTime(const fs::path& path) {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_MTIME, &info) != 0) return std::nullopt;
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

/// Why an existing file at `path` must not be replaced by a write: it is no regular file (a
/// folder, a pipe, a device) or the user may not write it (checked with the user's own rights,
/// so a read-only copy stays as it is). Nothing when it may be written or is not there.
std::optional<std::string> refusedForWriting(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  if (!S_ISREG(info.st_mode)) return path.string() + " is not a regular file";
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return std::strerror(errno);
  return std::nullopt;
}

}  // namespace

std::string ProjectsHandlerError::description() const {
  static constexpr const char* kNames[] = {"emptyId",           "emptyName",        "emptyData",       "unableToOpenZip",
                                           "missingFileInZip",  "unknownProjectId", "missingProjectFile",
                                           "unableToWriteFile", "invalidManifest",  "pathNotAllowed",  "notAFile",
                                           "fileSystem",        "indexNotWritten",  "spoolFull",       "entryTooLarge"};
  std::string text = std::string(kNames[static_cast<int>(kind)]) + "(" + value;
  if (!filePath.empty()) text += ", " + filePath;
  text += ")";
  if (!detail.empty()) text += ": " + detail;
  return text;
}

ProjectLibrary::ProjectLibrary(std::string projectFolderName, std::string fileExtension,
                               std::shared_ptr<ProjectInfoStore> projectInfoStore, bool verbose,
                               std::shared_ptr<defaults::UserDefaults> userDefaults,
                               std::shared_ptr<ids::IdGenerator> ids)
    : emptySVG_(placeholderSVG()),
      projectFolderName_(std::move(projectFolderName)),
      fileExtension_(std::move(fileExtension)),
      projectInfoStore_(std::move(projectInfoStore)),
      verbose_(verbose),
      queue_(dispatch::makeSerialQueue("Projects")),
      projectFolder_(std::make_unique<MacOsProjectFolderHolder>(projectFolderName_, std::move(userDefaults))),
      ids_(ids ? std::move(ids) : std::make_shared<ids::RandomIdGenerator>()) {}

std::optional<ProjectReference> ProjectLibrary::lookUp(const std::string& id) const {
  return projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->reference(id); });
}

// ---- listing -------------------------------------------------------------------------------------

std::vector<RPCProjectItem> ProjectLibrary::requestAllProjects() {
  const auto references = projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->allReferences(); });
  const fs::path& trash = Constants::path().macOS.trash;
  std::vector<const ProjectReference*> gone;
  std::vector<RPCProjectItem> items;
  items.reserve(references.size());
  for (const auto& reference : references) {
    const fs::path url = projectFileURL(reference);
    if (liesInFolder(url, trash)) {
      gone.push_back(&reference);
      continue;
    }
    struct statx info {};
    if (::statx(AT_FDCWD, url.c_str(), 0, STATX_BTIME | STATX_MTIME | STATX_SIZE | STATX_TYPE, &info) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) gone.push_back(&reference);
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
  // A save may have moved an entry since it was read: only an entry that still names the missing
  // file goes.
  if (!gone.empty())
    projectInfoStore_->queue()->sync([&] {
      for (const auto* reference : gone) (void)projectInfoStore_->removeReferenceIf(reference->id, reference->filePath);
    });
  return items;
}

// ---- saving --------------------------------------------------------------------------------------

ProjectsResult<fs::path> ProjectLibrary::uniqueProjectURL(const fs::path& candidate) const {
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

ProjectsResult<fs::path> ProjectLibrary::writeProject(fs::path target, const std::string& id, const std::string& name,
                                                      std::string_view data, WriteMode mode,
                                                      const std::optional<ProjectReference>& previous) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  std::error_code code;
  if (const auto folder = target.parent_path(); !folder.empty() && presence(folder) == Presence::gone) {
    fs::create_directories(folder, code);
    if (code) return fileSystemError(folder, code);
  }
  std::optional<Date> created = previous ? previous->created : std::nullopt;
  // The archive is read back from its temporary file, before it replaces anything; once, whatever
  // the number of names tried for the same bytes.
  std::optional<ProjectsHandlerError> unreadable;
  bool readBack = false;
  const AtomicFile::Check readsBack = [&](const fs::path& temporary) {
    if (!readBack) unreadable = unreadableBack(temporary, target);
    readBack = true;
    return unreadable ? std::make_error_code(std::errc::invalid_argument) : std::error_code();
  };
  if (mode == WriteMode::replace) {
    target = writeTarget(target);
    if (auto refused = refusedForWriting(target))
      return makeUnexpected(error(Kind::unableToWriteFile, target.string(), {}, *refused));
    if (!created) created = birthTime(target);
    if (auto written = AtomicFile::write(target, data, readsBack); !written) {
      if (unreadable) return makeUnexpected(std::move(*unreadable));
      return makeUnexpected(error(Kind::unableToWriteFile, target.string(), {}, written.error().message()));
    }
  } else {
    for (int attempt = 0;; ++attempt) {
      auto written = AtomicFile::writeNew(target, data, readsBack);
      if (written) break;
      if (unreadable) return makeUnexpected(std::move(*unreadable));
      if (written.error() != std::errc::file_exists || attempt + 1 >= kMaxNameAttempts)
        return makeUnexpected(error(Kind::unableToWriteFile, target.string(), {}, written.error().message()));
      // Someone took the name between the check and the write: take the next free one.
      auto next = uniqueProjectURL(target);
      if (!next) return makeUnexpected(next.error());
      target = *next;
    }
  }
  // A project saved for the first time was created when its bytes reached the disk: the same
  // moment as its "lastsaved".
  if (!created) created = modificationTime(target);
  if (!created) created = std::chrono::time_point_cast<Date::duration>(std::chrono::system_clock::now());
  ProjectReference reference{id, Constants::tildePath(target), name, bookmarks::makeBookmark(target), created};
  // A plain save changes nothing in the entry: the index is left as it is (no second flush).
  if ((!previous || *previous != reference) && !projectInfoStore_->setReference(reference, id)) {
    // Nothing may point at a file the index does not know: a new file goes again. A replaced
    // file keeps its new bytes (the old ones are gone), and the entry stays as it was.
    if (mode == WriteMode::newFile && ::unlink(target.c_str()) != 0)
      Constants::log().projects.error("Unable to remove %s: %s", target.string(), std::strerror(errno));
    return indexNotWritten(id);
  }
  if (verbose_) Constants::log().projects.info("Saved project '%s' to %s", log::requestValue(name), target.string());
  return target;
}

static ProjectsResult<void> validateSaveRequest(const std::string& id, const std::string& name, std::string_view data) {
  if (id.empty()) return makeUnexpected(error(Kind::emptyId, name));
  if (name.empty()) return makeUnexpected(error(Kind::emptyName, id));
  if (data.empty()) return makeUnexpected(error(Kind::emptyData, id));
  return {};
}

ProjectsResult<void> ProjectLibrary::saveProject(const std::string& id, const std::string& name, std::string_view data) {
  return queue_->syncValue([&] { return saveOnQueue(id, name, data); });
}

ProjectsResult<void> ProjectLibrary::saveOnQueue(const std::string& id, const std::string& name, std::string_view data) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (verbose_)
    Constants::log().projects.info("Saving project with id %s, name %s", log::requestValue(id), log::requestValue(name));
  if (auto valid = validateSaveRequest(id, name, data); !valid) return valid;
  const auto stored = lookUp(id);

  if (stored) {
    // A file the user may not write is neither rewritten nor renamed away.
    const fs::path old = absoluteNormal(projectFileURL(*stored));
    if (auto refused = refusedForWriting(writeTarget(old)))
      return makeUnexpected(error(Kind::unableToWriteFile, old.string(), {}, *refused));
  }

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
        // Without an index that knows the new file, or with data that no file may hold, nothing
        // else is tried: the old file and its entry stay as they were.
        if (written.error().kind == Kind::indexNotWritten || refusedData(written.error()))
          return makeUnexpected(written.error());
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

void ProjectLibrary::allowSaveAsPath(const fs::path& path) {
  std::lock_guard lock(saveAsMutex_);
  saveAsPaths_.insert(absoluteNormal(path));
}

ProjectsResult<std::optional<std::string>> ProjectLibrary::saveProjectAs(const std::string& id, const std::string& name,
                                                                         std::string_view data, const std::string& path) {
  return queue_->syncValue([&] { return saveAsOnQueue(id, name, data, path); });
}

ProjectsResult<std::optional<std::string>> ProjectLibrary::saveAsOnQueue(const std::string& id, const std::string& name,
                                                                         std::string_view data, const std::string& path) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (verbose_)
    Constants::log().projects.info("Saving project as with id %s, name %s, path %s", log::requestValue(id),
                                   log::requestValue(name), log::requestValue(path));
  if (auto valid = validateSaveRequest(id, name, data); !valid) return makeUnexpected(valid.error());
  const fs::path target = absoluteNormal(Constants::expandTildePath(path));
  const auto references = projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->allReferences(); });

  // The HTTP server answers any local program: write only where the user chose in the save
  // dialog, or over the file of a project the index already holds.
  bool allowed = false;
  if (target.is_absolute() && target.extension() == "." + fileExtension_) {
    std::lock_guard lock(saveAsMutex_);
    allowed = saveAsPaths_.contains(target);
  }
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
  if (overwritten && !projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->removeReference(*overwritten); }))
    return indexNotWritten(*overwritten);
  return overwritten;
}

// ---- loading -------------------------------------------------------------------------------------

ProjectsResult<std::shared_ptr<const WebServerOpenFile>> ProjectLibrary::loadProject(const std::string& id) const {
  if (verbose_) Constants::log().projects.info("Loading project id: %s", log::requestValue(id));
  const auto stored = lookUp(id);
  if (!stored) return makeUnexpected(error(Kind::unknownProjectId, id));
  const fs::path url = projectFileURL(*stored);
  auto file = WebServerOpenFile::open(url, /*regularOnly=*/true);
  if (!file) return fileSystemError(url, {errno, std::generic_category()});
  return file;
}

ProjectsResult<EntryBody> ProjectLibrary::loadProjectEntry(const std::string& id, const std::string& entry,
                                                           fs::path spoolFolder) const {
  if (verbose_)
    Constants::log().projects.info("Loading project id: %s path: %s", log::requestValue(id), log::requestValue(entry));
  const auto stored = lookUp(id);
  if (!stored) return makeUnexpected(error(Kind::unknownProjectId, id));
  const fs::path url = projectFileURL(*stored);
  EntrySpool spool(spoolFolder.empty() ? fs::path(Constants::path().tmp) : std::move(spoolFolder));
  auto copied = archive::copyEntry(url, entry, entryLimit(entry),
                                   [&](std::string_view chunk, std::uint64_t declared) { return spool.add(chunk, declared); });
  std::string failure;
  auto body = copied ? spool.finish(failure) : EntryBody{};
  if (copied && failure.empty()) return body;
  if (spool.overBudget()) return makeUnexpected(error(Kind::spoolFull, url.string(), entry));
  if (entry == "icon.svg") return EntryBody{emptySVG_, nullptr};
  // An entry that is there but is not answered (too large, or its spool's file failed) is not
  // reported missing.
  if (!copied && copied.error().code == archive::ArchiveErrorCode::entryTooLarge)
    return makeUnexpected(error(Kind::entryTooLarge, url.string(), entry, copied.error().message));
  if (!copied && copied.error().code != archive::ArchiveErrorCode::io)
    return makeUnexpected(error(Kind::missingFileInZip, url.string(), entry, copied.error().message));
  return makeUnexpected(error(Kind::fileSystem, url.string(), entry, copied ? failure : copied.error().message));
}

ProjectsResult<std::string> ProjectLibrary::readProjectZipEntry(const fs::path& url, const std::string& entry) const {
  auto bytes = archive::readEntry(url, entry, entryLimit(entry));
  if (bytes) return std::move(*bytes);
  if (entry == "icon.svg") return emptySVG_;
  return makeUnexpected(error(Kind::missingFileInZip, url.string(), entry, bytes.error().message));
}

ProjectsResult<void> ProjectLibrary::replaceEntryInProjectZip(const fs::path& path, const std::string& entry,
                                                              std::string_view bytes) const {
  // The rewrite renames a new archive over the file, which the file's own mode would not stop.
  if (auto refused = refusedForWriting(writeTarget(path)))
    return makeUnexpected(error(Kind::unableToOpenZip, path.string(), {}, *refused));
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

ProjectsResult<void> ProjectLibrary::deleteProject(const std::string& id) {
  return queue_->syncValue([&] { return deleteOnQueue(id); });
}

ProjectsResult<void> ProjectLibrary::deleteOnQueue(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
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
  // The entry goes first: an index that cannot be written leaves the file and its entry.
  if (!projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->removeReference(id); }))
    return indexNotWritten(id);
  if (::unlink(url.c_str()) != 0) {
    const std::error_code failure{errno, std::generic_category()};
    if (!projectInfoStore_->setReference(*stored, id))
      Constants::log().projects.error("Unable to keep the entry of %s, which could not be deleted", url.string());
    return fileSystemError(url, failure);
  }
  return {};
}

ProjectsResult<void> ProjectLibrary::moveProject(const std::string& id, const fs::path& folder) {
  return queue_->syncValue([&] { return moveOnQueue(id, folder); });
}

ProjectsResult<void> ProjectLibrary::moveOnQueue(const std::string& id, const fs::path& folder) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
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
  if (!projectInfoStore_->setReference(reference, id)) {
    // The index still names the old place: the file goes back there.
    if (auto back = AtomicFile::moveNoReplace(target, source); !back)
      Constants::log().projects.error("Unable to move %s back to %s: %s", target.string(), source.string(),
                                      back.error().message());
    return indexNotWritten(id);
  }
  return {};
}

void ProjectLibrary::changeProjectFolder(const fs::path& folder, bool migrateProjects) {
  queue_->sync([&] {
    const auto current = projectFolder_->projectFolder();
    if (migrateProjects)
      if (auto migrated = ProjectFolderMigrator(projectInfoStore_, current.folder, folder).migrate(); !migrated) {
        // The projects it could not move stay in the folder in use, and so do new ones.
        Constants::log().projects.error("Project migration failed: %s", migrated.error());
        return;
      }
    if (!projectFolder_->setProjectFolder(folder))
      Constants::log().projects.error("Unable to keep %s as the project folder after a restart", folder.string());
  });
}

std::size_t ProjectLibrary::removeStrayTemporaries() {
  return queue_->syncValue([&] {
    const std::size_t removed = AtomicFile::removeStrayTemporariesIn(projectFolder(), "." + fileExtension_);
    if (removed > 0)
      Constants::log().projects.info("Removed %d unfinished project files from %s", static_cast<int>(removed),
                                     projectFolder().string());
    return removed;
  });
}

// ---- opening from outside ------------------------------------------------------------------------

ProjectsResult<std::string> ProjectLibrary::openProjectURL(const fs::path& given) {
  return queue_->syncValue([&] { return openOnQueue(given); });
}

ProjectsResult<std::string> ProjectLibrary::openOnQueue(const fs::path& given) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (verbose_) Constants::log().projects.info("Opening url %s", given.string());
  const fs::path url = absoluteNormal(given);
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
      if (auto replaced = replaceEntryInProjectZip(url, "manifest.json", *encoded); !replaced)
        return makeUnexpected(replaced.error());
    }
  }
  std::optional<Date> created = stored && stored->id == id ? stored->created : std::nullopt;
  if (!created) created = birthTime(url);
  if (!projectInfoStore_->setReference(ProjectReference{id, filePath, name, bookmarks::makeBookmark(url), created}, id))
    return indexNotWritten(id);
  return id;
}

}  // namespace kestrom

#include "KestromKit/storage/ProjectFolder.h"

#include "platform/files/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/ProjectInfoStore.h"
#include "platform/bookmarks/Bookmarks.h"

namespace kestrom {

namespace fs = std::filesystem;

bool liesInFolder(const fs::path& path, const fs::path& folder) {
  const auto p = path.lexically_normal();
  const auto f = folder.lexically_normal();
  auto pi = p.begin();
  for (auto fi = f.begin(); fi != f.end(); ++fi, ++pi) {
    if (fi->empty() && std::next(fi) == f.end()) break;  // a trailing "/" of the folder
    if (pi == p.end() || *pi != *fi) return false;
  }
  return true;
}

fs::path projectFileURL(const ProjectReference& reference) {
  if (reference.bookmark)
    if (auto resolved = bookmarks::resolveFileBookmark(*reference.bookmark)) return *resolved;
  return Constants::expandTildePath(reference.filePath);
}

MacOsProjectFolderHolder::MacOsProjectFolderHolder(const std::string& folderName,
                                                   std::shared_ptr<defaults::UserDefaults> userDefaults)
    : legacyUrl_(Constants::documentsFolder() / folderName), userDefaults_(std::move(userDefaults)) {}

std::optional<std::string> MacOsProjectFolderHolder::storedBookmark() const {
  if (!userDefaults_) {
    std::lock_guard lock(mutex_);
    return memoryBookmark_;
  }
  auto value = userDefaults_->value(kProjectFolderBookmarkKey);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

ProjectFolderState MacOsProjectFolderHolder::projectFolder() const {
  auto bookmark = storedBookmark();
  if (!bookmark) return {legacyUrl_, ProjectFolderStatus::needsMigration};
  auto resolved = bookmarks::resolveBookmark(*bookmark);
  if (!resolved) return {legacyUrl_, ProjectFolderStatus::missing};
  if (liesInFolder(*resolved, Constants::path().macOS.trash)) return {legacyUrl_, ProjectFolderStatus::missing};
  return {*resolved, ProjectFolderStatus::ok};
}

bool MacOsProjectFolderHolder::setProjectFolder(const fs::path& folder) {
  const std::string bookmark = bookmarks::makeBookmark(folder);
  if (!userDefaults_) {
    std::lock_guard lock(mutex_);
    memoryBookmark_ = bookmark;
    return true;
  }
  if (!userDefaults_->setValue(kProjectFolderBookmarkKey, Json(bookmark))) {
    Constants::log().projects.error("Unable to store the project folder %s", folder.string());
    return false;
  }
  return true;
}

ProjectFolderMigrator::ProjectFolderMigrator(std::shared_ptr<ProjectInfoStore> store, fs::path oldProjectFolder,
                                             fs::path newProjectFolder)
    : store_(std::move(store)),
      oldProjectFolder_(oldProjectFolder.lexically_normal()),
      newProjectFolder_(newProjectFolder.lexically_normal()) {}

Expected<void, std::string> ProjectFolderMigrator::migrate() {
  std::error_code error;
  if (oldProjectFolder_ == newProjectFolder_ || fs::equivalent(oldProjectFolder_, newProjectFolder_, error)) return {};
  Constants::log().projects.info("Starting project migration from '%s' to '%s'", oldProjectFolder_.string(),
                                 newProjectFolder_.string());
  auto references = store_->queue()->syncValue([this] { return store_->allReferences(); });
  for (const auto& reference : references) {
    auto moved = moveProject(reference);
    if (moved == reference) continue;
    if (store_->setReference(moved, moved.id)) continue;
    // The index cannot follow: this file goes back, and the rest stays where it is.
    const fs::path source = projectFileURL(reference).lexically_normal();
    const fs::path destination = Constants::expandTildePath(moved.filePath);
    if (auto back = AtomicFile::moveNoReplace(destination, source); !back)
      Constants::log().projects.error("Unable to move project '%s' back to '%s': %s", reference.name, source.string(),
                                      back.error().message());
    return makeUnexpected("The project index could not be written after moving '" + reference.name + "'");
  }
  return {};
}

fs::path ProjectFolderMigrator::rebasedURL(const fs::path& url) const {
  const auto path = url.lexically_normal();
  if (!liesInFolder(path, oldProjectFolder_) || liesInFolder(path, newProjectFolder_)) return url;
  return (newProjectFolder_ / path.lexically_relative(oldProjectFolder_)).lexically_normal();
}

ProjectReference ProjectFolderMigrator::moveProject(const ProjectReference& reference) const {
  const fs::path source = projectFileURL(reference).lexically_normal();
  const fs::path destination = rebasedURL(source);
  if (destination == source) return reference;
  Constants::log().projects.info("Moving project '%s' from '%s' to '%s'", reference.name, source.string(),
                                 destination.string());
  std::error_code error;
  fs::create_directories(destination.parent_path(), error);
  if (auto moved = AtomicFile::moveNoReplace(source, destination); !moved) {
    // The file stays where it is, and so does its entry: the index never points at nothing.
    Constants::log().projects.error("Unable to move project '%s' to '%s': %s", reference.name, destination.string(),
                                    moved.error().message());
    return reference;
  }
  ProjectReference updated = reference;
  updated.filePath = Constants::tildePath(destination);
  updated.bookmark = bookmarks::makeBookmark(destination);
  return updated;
}

}  // namespace kestrom

#include "KestromKit/storage/ContentHandler.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>

#include "KestromKit/base/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/base/PathCheck.h"
#include "platform/log/Fatal.h"

namespace kestrom {

namespace fs = std::filesystem;

namespace {

constexpr const char* kActivitiesFolderName = "activities";
constexpr const char* kVersionsFile = "versions.json";

// Renames `item` over `target`. A folder in the way is set aside first and removed only once the
// file is in its place; when the file cannot go in, the folder is put back.
Expected<void, std::string> renameOver(const fs::path& item, const fs::path& target) {
  if (::rename(item.c_str(), target.c_str()) == 0) return {};
  int code = errno;
  std::error_code error;
  if ((code != EISDIR && code != ENOTEMPTY && code != EEXIST) || !fs::is_directory(fs::symlink_status(target, error)))
    return makeUnexpected(std::string(std::strerror(code)));
  static std::atomic<unsigned> counter{0};
  auto aside = target.parent_path() / ("." + target.filename().string() + ".replaced-" + std::to_string(::getpid()) +
                                       "-" + std::to_string(++counter));
  if (::rename(target.c_str(), aside.c_str()) != 0) return makeUnexpected(std::string(std::strerror(errno)));
  if (::rename(item.c_str(), target.c_str()) != 0) {
    code = errno;
    ::rename(aside.c_str(), target.c_str());
    return makeUnexpected(std::string(std::strerror(code)));
  }
  fs::remove_all(aside, error);
  return {};
}

// Copies the prepacked content and the variant's version record into a fresh folder beside the
// content folder, then swaps it in: the old content is removed only once the new copy is complete.
// True when the version record reached the content folder.
bool replaceContentFolder(const fs::path& prepacked, const fs::path& variant, const fs::path& content) {
  auto& log = Constants::log().general;
  std::error_code error;
  fs::create_directories(content.parent_path(), error);
  auto staging = content.parent_path() / (content.filename().string() + ".incoming");
  fs::remove_all(staging, error);
  error.clear();
  // Every step uses the error-code form: start-up waits for the outcome, so a failing file system
  // must answer false rather than throw past the completion. A prepacked folder that cannot be
  // examined must not replace the content with an empty one.
  const bool havePrepacked = fs::exists(prepacked, error);
  if (!error) {
    if (havePrepacked)
      fs::copy(prepacked, staging, fs::copy_options::recursive, error);
    else
      fs::create_directories(staging, error);
  }
  if (error) {
    log.error("Unable to copy packaged content into place, error: %s", error.message());
    fs::remove_all(staging, error);
    return false;
  }
  fs::remove(staging / kVersionsFile, error);
  error.clear();
  bool versionsCopied = fs::copy_file(variant / kVersionsFile, staging / kVersionsFile, error) && !error;
  if (!versionsCopied)
    log.error("Unable to copy packaged content into place, error: %s",
              error ? error.message() : std::string("versions.json was not copied"));

  auto old = content.parent_path() / (content.filename().string() + ".old");
  fs::remove_all(old, error);
  error.clear();
  if (fs::exists(content, error)) fs::rename(content, old, error);
  if (!error) fs::rename(staging, content, error);
  if (error) {
    log.error("Unable to clean up content folder, error: %s", error.message());
    std::error_code ignored;
    if (!fs::exists(content, ignored) && fs::exists(old, ignored)) fs::rename(old, content, ignored);
    fs::remove_all(staging, ignored);
    return false;
  }
  fs::remove_all(old, error);
  return versionsCopied;
}

}  // namespace

ContentHandler::ContentHandler(fs::path variantURL, fs::path prepackedContentURL,
                               std::shared_ptr<downloader::Downloader> downloader, std::optional<fs::path> contentPath)
    : variantURL_(std::move(variantURL)),
      prepackedContentURL_(std::move(prepackedContentURL)),
      contentPath_(contentPath.value_or(fs::path(Constants::path().caches) / Constants::kitBundleIdentifier() / "content")),
      legacyContentPath_(contentPath ? std::nullopt : std::optional(fs::path(Constants::path().caches) / "content")),
      downloader_(std::move(downloader)),
      queue_(dispatch::makeSerialQueue("ContentHandlerQueue")),
      lock_(dispatch::makeSerialQueue("ContentHandlerLock")) {}

ContentHandler::~ContentHandler() {
  {
    std::lock_guard guard(currentMutex_);
    stopping_ = true;
    if (currentDownload_ && downloader_) downloader_->cancel(*currentDownload_);
  }
  // Lets the task in hand end and the queued ones run (those of downloads see `stopping_`) while
  // `queue_` still names the queue they check, then joins the thread. Releasing the queue at once
  // would clear `queue_` before its thread ran them, and a queued download would read it.
  if (!queue_->isCurrent()) queue_->sync([] {});
  queue_.reset();
}

fs::path ContentHandler::contentURL(const std::vector<std::string>& components) const {
  if (components.empty()) return contentPath_;
  std::string joined;
  for (const auto& component : components) {
    if (!joined.empty()) joined += '/';
    joined += component;
  }
  return contentPath_ / joined;
}

std::optional<Manifest> ContentHandler::readManifest(const std::string& package) const {
  auto file = resolveUnder(contentPath_, package + "/manifest.json", {.allowLeadingSlash = false, .regularFileOnly = true});
  if (!file) return std::nullopt;
  auto text = AtomicFile::read(*file);
  if (!text) return std::nullopt;
  auto manifest = decodeText<Manifest>(*text);
  if (!manifest) return std::nullopt;
  manifest->units = markUnavailableOffline(manifest->units, package);
  return std::move(*manifest);
}

std::vector<Manifest::ContentUnit> ContentHandler::markUnavailableOffline(const std::vector<Manifest::ContentUnit>& units,
                                                                          const std::string& package) const {
  std::vector<Manifest::ContentUnit> marked;
  marked.reserve(units.size());
  for (const auto& unit : units) {
    bool unavailable = false;
    if (unit.activities) {
      for (const auto& activity : *unit.activities) {
        if (!activityIsAvailable(activity, package, unit)) {
          unavailable = true;
          break;
        }
      }
    }
    marked.push_back(unit.withUnavailableOffline(unavailable));
  }
  return marked;
}

bool ContentHandler::activityIsAvailable(const Manifest::Activity& activity, const std::string& package,
                                         const Manifest::ContentUnit& unit) const {
  // The ids come from a downloaded file: one that is not a plain name never names a folder here.
  auto file = resolveUnder(contentPath_,
                           package + "/" + unit.id + "/" + kActivitiesFolderName + "/" + activity.id + "/manifest.json",
                           {.allowLeadingSlash = false});
  std::error_code error;
  return file && fs::exists(*file, error);
}

void ContentHandler::restorePrepackedContent(std::function<void(bool)> completion) {
  queue_->async([this, completion = std::move(completion)]() mutable {
    if (legacyContentPath_) {
      std::error_code ignored;
      fs::remove_all(*legacyContentPath_, ignored);
    }
    bool ok = replaceContentFolder(prepackedContentURL_, variantURL_, contentPath_);
    dispatch::mainQueue()->async([completion = std::move(completion), ok] {
      if (completion) completion(ok);
    });
  });
}

void ContentHandler::writeResource(std::string localPath, std::string resource, std::optional<std::string> tmpID,
                                   std::function<void(bool)> completion) {
  queue_->async([this, localPath = std::move(localPath), resource = std::move(resource), tmpID = std::move(tmpID),
                 completion = std::move(completion)] {
    auto finish = [&](bool ok, const std::string& why) {
      if (!ok) Constants::log().general.error("Unable to write the resource %s: %s", localPath, why);
      if (completion) completion(ok);
    };
    fs::path root = contentPath_;
    if (tmpID) {
      if (!checkPathComponent(*tmpID)) return finish(false, "invalid tmpId " + *tmpID);
      root /= *tmpID;
    }
    std::error_code error;
    fs::create_directories(root, error);
    auto target = resolveUnder(root, localPath, {.allowLeadingSlash = true});
    if (!target) return finish(false, "invalid path");
    fs::create_directories(target->parent_path(), error);
    auto written = AtomicFile::write(*target, resource);
    if (!written) return finish(false, written.error().message());
    finish(true, {});
  });
}

void ContentHandler::cleanTemp(std::string tmpID, std::function<void(Expected<void, std::string>)> completion) {
  queue_->async([area = contentPath_ / tmpID, valid = checkPathComponent(tmpID), completion = std::move(completion)] {
    if (!valid) return completion(makeUnexpected(std::string("Invalid tmpId")));
    std::error_code error;
    if (!fs::exists(fs::symlink_status(area, error)))
      return completion(makeUnexpected(std::make_error_code(std::errc::no_such_file_or_directory).message()));
    fs::remove_all(area, error);
    if (error) return completion(makeUnexpected(error.message()));
    completion({});
  });
}

void ContentHandler::downloadResource(std::string remoteURL, std::string localPath, std::string tmpID,
                                      std::function<void(bool)> completion, std::string requestID) {
  lock_->sync([&] {
    downloadQueue_[tmpID].push_back(
        DownloadEntry{std::move(remoteURL), std::move(localPath), std::move(completion), std::move(requestID)});
  });
  queue_->async([this, tmpID] { fetchNextResource(tmpID); });
}

std::vector<std::string> ContentHandler::cancelDownloads(const std::string& tmpID) {
  std::vector<std::string> dropped;
  lock_->sync([&] {
    auto node = downloadQueue_.extract(tmpID);
    if (!node) return;
    for (auto& entry : node.mapped()) dropped.push_back(std::move(entry.requestID));
  });
  return dropped;
}

bool ContentHandler::hasDownloads(const std::string& tmpID) const {
  return lock_->syncValue([&] {
    auto it = downloadQueue_.find(tmpID);
    return runningTmpID_ == tmpID || (it != downloadQueue_.end() && !it->second.empty());
  });
}

void ContentHandler::fetchNextResource(const std::string& tmpID) {
  if (!queue_->isCurrent()) log::fatalError("KestromKit/ContentHandler", "This is a programming error.");
  while (!stopping_) {
    std::optional<DownloadEntry> entry;
    lock_->sync([&] {
      auto it = downloadQueue_.find(tmpID);
      if (it == downloadQueue_.end() || it->second.empty()) return;
      entry = std::move(it->second.back());
      it->second.pop_back();
      runningTmpID_ = tmpID;
    });
    if (!entry) return;
    bool ok = fetch(tmpID, *entry);
    lock_->sync([&] { runningTmpID_.reset(); });
    if (entry->completion) entry->completion(ok);
  }
}

bool ContentHandler::fetch(const std::string& tmpID, const DownloadEntry& entry) {
  auto& log = Constants::log().general;
  auto localPath = checkRelativePath(entry.localPath);
  if (!checkPathComponent(tmpID) || !localPath || !downloader_) {
    log.error("Refusing to download %s to tmpId %s, path %s", entry.remoteURL, tmpID, entry.localPath);
    return false;
  }
  const auto area = contentPath_ / tmpID;
  std::error_code error;
  fs::create_directories((area / *localPath).parent_path(), error);
  // Links below the area must not lead the file out of it.
  auto destination = resolveUnder(area, localPath->string(), {.allowLeadingSlash = false});
  if (!destination) {
    log.error("Refusing to download %s to tmpId %s, path %s", entry.remoteURL, tmpID, entry.localPath);
    return false;
  }

  struct Outcome {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<downloader::DownloadResult> result;
  };
  auto outcome = std::make_shared<Outcome>();
  {
    std::lock_guard guard(currentMutex_);
    if (stopping_) return false;
    currentDownload_ = downloader_->download(entry.remoteURL, *destination, {}, [outcome](downloader::DownloadResult result) {
      std::lock_guard lock(outcome->mutex);
      outcome->result = std::move(result);
      outcome->done.notify_all();
    });
  }
  std::unique_lock lock(outcome->mutex);
  outcome->done.wait(lock, [&] { return outcome->result.has_value(); });
  {
    std::lock_guard guard(currentMutex_);
    currentDownload_.reset();
  }
  if (!*outcome->result) {
    log.error("%s", outcome->result->error().message);
    return false;
  }
  return true;
}

Expected<void, std::string> ContentHandler::moveIntoPlace(const fs::path& from, const fs::path& to) {
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error))
    names.push_back(it->path().filename().string());
  if (error) return makeUnexpected(error.message());
  for (const auto& name : names) {
    const auto item = from / name;
    auto status = fs::symlink_status(item, error);
    if (error || !fs::exists(status)) {
      error.clear();
      continue;
    }
    if (fs::is_directory(status)) {
      if (auto moved = moveIntoPlace(item, to / name); !moved) return moved;
      continue;
    }
    fs::create_directories(to, error);
    error.clear();
    if (auto moved = renameOver(item, to / name); !moved) return moved;
  }
  return {};
}

}  // namespace kestrom

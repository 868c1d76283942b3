#include "KestromKit/storage/ContentHandler.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/base/PathCheck.h"
#include "platform/AsciiCase.h"
#include "platform/log/RequestValue.h"

namespace kestrom {

namespace fs = std::filesystem;

namespace {

constexpr const char* kActivitiesFolderName = "activities";
constexpr const char* kVersionsFile = "versions.json";

bool endsWithSuffix(std::string_view name, std::string_view marker, std::size_t length,
                    bool (*allowed)(unsigned char)) {
  if (name.size() < 2 + marker.size() + length) return false;
  const auto at = name.size() - length - marker.size();
  if (name.substr(at, marker.size()) != marker) return false;
  for (unsigned char c : name.substr(at + marker.size()))
    if (!allowed(c)) return false;
  return true;
}

bool isHex(unsigned char c) { return asciiHexValue(static_cast<char>(c)) >= 0; }
bool isTemporaryNameCharacter(unsigned char c) { return std::isalnum(c) != 0; }

// Renames `item` over `target`. A folder in the way is set aside first and removed only once the
// file is in its place; when the file cannot go in, the folder is put back.
Expected<void, std::string> renameOver(const fs::path& item, const fs::path& target) {
  if (::rename(item.c_str(), target.c_str()) == 0) return {};
  int code = errno;
  std::error_code error;
  if ((code != EISDIR && code != ENOTEMPTY && code != EEXIST) || !fs::is_directory(fs::symlink_status(target, error)))
    return makeUnexpected(std::string(std::strerror(code)));
  static std::atomic<unsigned> counter{0};
  auto aside = target.parent_path() / std::string(".").append(target.filename().string()).append(".replaced-")
                                          .append(std::to_string(::getpid())).append("-").append(std::to_string(++counter));
  if (::rename(target.c_str(), aside.c_str()) != 0) return makeUnexpected(std::string(std::strerror(errno)));
  if (::rename(item.c_str(), target.c_str()) != 0) {
    code = errno;
    ::rename(aside.c_str(), target.c_str());
    return makeUnexpected(std::string(std::strerror(code)));
  }
  fs::remove_all(aside, error);
  return {};
}

// Merge-copies the tree at `source` into `target`. An entry that cannot be copied (a dangling link,
// an unreadable file) is skipped and logged; the rest is copied.
void listAndCopyItems(const fs::path& source, const fs::path& target, std::size_t& skipped) {
  auto& log = Constants::log().general;
  std::error_code error;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(source, error), end; !error && it != end; it.increment(error)) entries.push_back(*it);
  if (error) {
    log.error("Unable to list the prepacked content in %s: %s", source.string(), error.message());
    ++skipped;
    return;
  }
  for (const auto& entry : entries) {
    const auto destination = target / entry.path().filename();
    std::error_code kind;
    const bool folder = entry.is_directory(kind);
    if (kind) {
      log.error("Skipping the prepacked item %s: %s", entry.path().string(), kind.message());
      ++skipped;
      continue;
    }
    if (folder) {
      fs::create_directories(destination, error);
      listAndCopyItems(entry.path(), destination, skipped);
      continue;
    }
    std::error_code copied;
    fs::remove(destination, copied);
    fs::copy_file(entry.path(), destination, fs::copy_options::overwrite_existing, copied);
    if (copied) {
      log.error("Skipping the prepacked item %s: %s", entry.path().string(), copied.message());
      ++skipped;
    }
  }
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
  if (!error) fs::create_directories(staging, error);
  if (!error && havePrepacked) {
    std::size_t skipped = 0;
    listAndCopyItems(prepacked, staging, skipped);
    if (skipped) log.error("%d prepacked items could not be copied; the rest is in place", static_cast<int>(skipped));
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

bool ContentHandler::isTemporaryName(std::string_view name) {
  if (name.empty() || name.front() != '.') return false;
  // A download's partial file (".<name>.download-XXXXXX"), an atomic write's temporary file
  // (".<name>.tmp-" and 12 hex digits), a file or folder set aside by a move (".<name>.replaced-").
  return endsWithSuffix(name, ".download-", 6, isTemporaryNameCharacter) ||
         endsWithSuffix(name, ".tmp-", 12, isHex) || name.find(".replaced-") != std::string_view::npos;
}

void ContentHandler::removeStrayTemporaries() {
  queue_->async([this] {
    std::error_code error;
    std::vector<fs::path> stray;
    for (fs::recursive_directory_iterator it(contentPath_, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
      if (!isTemporaryName(it->path().filename().string())) continue;
      stray.push_back(it->path());
      it.disable_recursion_pending();
    }
    std::size_t removed = 0;
    for (const auto& path : stray) {
      std::error_code ignored;
      if (fs::remove_all(path, ignored) > 0) ++removed;
    }
    if (removed) Constants::log().general.info("Removed %d temporary files left in the content folder", static_cast<int>(removed));
  });
}

ContentHandler::ContentHandler(fs::path variantURL, fs::path prepackedContentURL,
                               std::shared_ptr<downloader::Downloader> downloader, std::optional<fs::path> contentPath)
    : variantURL_(std::move(variantURL)),
      prepackedContentURL_(std::move(prepackedContentURL)),
      contentPath_(contentPath.value_or(fs::path(Constants::path().caches) / Constants::kitBundleIdentifier() / "content")),
      legacyContentPath_(contentPath ? std::nullopt : std::optional(fs::path(Constants::path().caches) / "content")),
      queue_(dispatch::makeSerialQueue("ContentHandlerQueue")),
      manifestQueue_(dispatch::makeSerialQueue("ContentManifests")),
      downloads_(contentPath_, std::move(downloader), queue_) {}

ContentHandler::~ContentHandler() {
  downloads_.stop();
  // Lets the task in hand end and the queued ones run (the ends of downloads among them) while
  // this object is whole; nothing queues more once the downloads stopped.
  if (!queue_->isCurrent()) queue_->sync([] {});
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
  // Decoded on one thread of its own: many requests at once cost the memory of one decode, and
  // that memory stays in one allocator arena instead of one per connection thread.
  if (!manifestQueue_->isCurrent()) return manifestQueue_->syncValue([&] { return readManifest(package); });
  auto& log = Constants::log().general;
  auto file = resolveUnder(contentPath_, package + "/manifest.json", {.allowLeadingSlash = false, .regularFileOnly = true});
  if (!file) return std::nullopt;
  std::error_code sizeError;
  const auto size = fs::file_size(*file, sizeError);
  if (sizeError) {
    log.error("Unable to read the manifest %s: %s", file->string(), sizeError.message());
    return std::nullopt;
  }
  // A downloaded manifest may be any size; decoded, it takes several times its bytes.
  if (size > kMaxManifestBytes) {
    log.error("Unable to read the manifest %s: it holds %d bytes, more than the %d a manifest may take",
              file->string(), static_cast<long long>(size), static_cast<long long>(kMaxManifestBytes));
    return std::nullopt;
  }
  auto text = AtomicFile::read(*file);
  if (!text) {
    log.error("Unable to read the manifest %s: %s", file->string(), text.error().message());
    return std::nullopt;
  }
  if (text->size() > kMaxManifestBytes) return std::nullopt;  // grew since the size was taken
  auto manifest = decodeText<Manifest>(*text);
  if (!manifest) {
    log.error("Unable to decode the manifest %s: %s", file->string(), manifest.error().description());
    return std::nullopt;
  }
  markUnavailableOffline(manifest->units, package);
  return std::move(*manifest);
}

std::optional<std::string> ContentHandler::manifestJSON(const std::string& package) const {
  // Encoded on the decoding thread too: the request then holds only the text it answers.
  return manifestQueue_->syncValue([&]() -> std::optional<std::string> {
    auto manifest = readManifest(package);
    if (!manifest) return std::nullopt;
    auto json = encodeText(*manifest);
    if (!json) return std::nullopt;
    // The text grew by doubling; what the answer holds until it is sent is its exact size.
    json->shrink_to_fit();
    return std::move(*json);
  });
}

void ContentHandler::markUnavailableOffline(std::vector<Manifest::ContentUnit>& units, const std::string& package) const {
  for (auto& unit : units) {
    bool unavailable = false;
    if (unit.activities)
      for (const auto& activity : *unit.activities)
        if (!activityIsAvailable(activity, package, unit)) {
          unavailable = true;
          break;
        }
    unit.unavailableOffline = unavailable;
  }
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
      if (!ok) Constants::log().general.error("Unable to write the resource %s: %s", log::requestValue(localPath), why);
      if (completion) completion(ok);
    };
    fs::path root = contentPath_;
    if (tmpID) {
      if (!checkPathComponent(*tmpID)) return finish(false, "invalid tmpId " + log::requestValue(*tmpID));
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
  queue_->async([this, tmpID = std::move(tmpID), completion = std::move(completion)]() mutable {
    auto clean = [area = contentPath_ / tmpID, valid = checkPathComponent(tmpID), completion = std::move(completion)] {
      if (!valid) return completion(makeUnexpected(std::string("Invalid tmpId")));
      std::error_code error;
      if (!fs::exists(fs::symlink_status(area, error)))
        return completion(makeUnexpected(std::make_error_code(std::errc::no_such_file_or_directory).message()));
      fs::remove_all(area, error);
      if (error) return completion(makeUnexpected(error.message()));
      completion({});
    };
    // A download still writing into the area would leave its file behind the clean.
    downloads_.afterDownloads(tmpID, std::move(clean));
  });
}

Expected<void, std::string> ContentHandler::moveIntoPlace(const fs::path& from, const fs::path& to) {
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error))
    names.push_back(it->path().filename().string());
  if (error) return makeUnexpected(error.message());
  for (const auto& name : names) {
    // A partial download or a half-written file of a host that was killed is never put in place.
    if (isTemporaryName(name)) continue;
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

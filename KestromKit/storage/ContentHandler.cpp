#include "KestromKit/storage/ContentHandler.h"

#include "KestromKit/base/PathCheck.h"
#include "KestromKit/base/AtomicFile.h"
#include "KestromKit/base/Constants.h"

namespace kestrom {

namespace fs = std::filesystem;

namespace {

std::string describe(const std::error_code& error) { return error.message(); }

// Copies `from` to a fresh folder beside `to`, then swaps it in: the old content is removed only
// once the new copy is complete. Start-up waits for the outcome, so every step uses the
// error-code form: a failing file system answers false instead of throwing past the completion.
bool replaceFolder(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::create_directories(to.parent_path(), error);
  auto staging = to.parent_path() / (to.filename().string() + ".incoming");
  fs::remove_all(staging, error);
  error.clear();
  const bool haveSource = fs::exists(from, error);
  if (error) {
    Constants::log().general.error("Unable to look at the prepacked content: %s", describe(error));
    return false;
  }
  if (haveSource) {
    fs::copy(from, staging, fs::copy_options::recursive, error);
  } else {
    fs::create_directories(staging, error);
  }
  if (error) {
    Constants::log().general.error("Unable to copy the prepacked content: %s", describe(error));
    fs::remove_all(staging, error);
    return false;
  }
  auto old = to.parent_path() / (to.filename().string() + ".old");
  fs::remove_all(old, error);
  error.clear();
  const bool haveTarget = fs::exists(to, error);
  if (!error && haveTarget) fs::rename(to, old, error);
  if (error) {
    Constants::log().general.error("Unable to move the old content aside: %s", describe(error));
    fs::remove_all(staging, error);
    return false;
  }
  fs::rename(staging, to, error);
  if (error) {
    Constants::log().general.error("Unable to put the content in place: %s", describe(error));
    std::error_code restoreError;
    if (haveTarget) fs::rename(old, to, restoreError);
    fs::remove_all(staging, restoreError);
    return false;
  }
  fs::remove_all(old, error);
  return true;
}

}  // namespace

ContentHandler::ContentHandler(fs::path variantURL, fs::path prepackedContentURL, std::optional<fs::path> contentPath)
    : variantURL_(std::move(variantURL)),
      prepackedContentURL_(std::move(prepackedContentURL)),
      contentPath_(contentPath.value_or(fs::path(Constants::path().caches) / Constants::kitBundleIdentifier() / "content")),
      queue_(dispatch::makeSerialQueue("ContentHandlerQueue")) {}

fs::path ContentHandler::contentURL(const std::vector<std::string>& components) const {
  if (components.empty()) return contentPath_;
  std::string joined;
  for (const auto& component : components) {
    if (!joined.empty()) joined += '/';
    joined += component;
  }
  return contentPath_ / joined;
}

std::optional<Manifest> ContentHandler::readManifest(const std::string& language) const {
  auto file = resolveUnder(contentPath_, language + "/manifest.json", {.allowLeadingSlash = false, .regularFileOnly = true});
  if (!file) return std::nullopt;
  auto text = AtomicFile::read(*file);
  if (!text) return std::nullopt;
  auto manifest = decodeText<Manifest>(*text);
  if (!manifest) return std::nullopt;
  return std::move(*manifest);
}

void ContentHandler::restorePrepackedContent(std::function<void(bool)> completion) {
  queue_->async([this, completion = std::move(completion)] {
    bool ok = false;
    try {
      ok = replaceFolder(prepackedContentURL_, contentPath_);
    } catch (const std::exception& e) {  // out of memory and the like: report, never stall start-up
      Constants::log().general.error("Unable to restore the prepacked content: %s", e.what());
    }
    if (completion) completion(ok);
  });
}

void ContentHandler::writeResource(std::string localPath, std::string resource, std::optional<std::string> tmpID,
                                   std::function<void(Expected<void, std::string>)> completion) {
  queue_->async([this, localPath = std::move(localPath), resource = std::move(resource), tmpID = std::move(tmpID),
                 completion = std::move(completion)] {
    auto finish = [&](Expected<void, std::string> result) {
      if (completion) completion(std::move(result));
    };
    fs::path root = contentPath_;
    if (tmpID) {
      auto component = checkPathComponent(*tmpID);
      if (!component) return finish(makeUnexpected("Invalid tmpId: " + *tmpID));
      root /= *component;
    }
    std::error_code error;
    fs::create_directories(root, error);
    auto target = resolveUnder(root, localPath, {.allowLeadingSlash = true});
    if (!target) return finish(makeUnexpected("Invalid localPath: " + localPath));
    fs::create_directories(target->parent_path(), error);
    auto written = AtomicFile::write(*target, resource);
    if (!written) return finish(makeUnexpected(written.error().message()));
    finish({});
  });
}

Expected<void, std::string> ContentHandler::cleanTemp(const std::string& tmpID) {
  auto component = checkPathComponent(tmpID);
  if (!component) return makeUnexpected("Invalid tmpId: " + tmpID);
  std::error_code error;
  fs::remove_all(contentPath_ / *component, error);
  if (error) return makeUnexpected(error.message());
  return {};
}

void ContentHandler::removeQueuedDownload(const std::string&) {}

void ContentHandler::downloadResource(std::string remoteURL, std::string, std::string, std::function<void(bool)> completion) {
  Constants::log().general.error("Downloads are not available yet: %s", remoteURL);
  queue_->async([completion = std::move(completion)] {
    if (completion) completion(false);
  });
}

Expected<void, std::string> ContentHandler::moveIntoPlace(const fs::path& from, const fs::path& to) {
  std::error_code error;
  if (!fs::exists(from, error)) return {};
  for (auto it = fs::recursive_directory_iterator(from, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    auto target = to / it->path().lexically_relative(from);
    const bool isFolder = it->is_directory(error);
    if (error) return makeUnexpected(error.message());
    if (isFolder) {
      fs::create_directories(target, error);
    } else {
      fs::create_directories(target.parent_path(), error);
      fs::rename(it->path(), target, error);
    }
    if (error) return makeUnexpected(error.message());
  }
  if (error) return makeUnexpected(error.message());
  return {};
}

}  // namespace kestrom

#pragma once
// The installed content packages under the user's caches folder: restoring the prepacked
// content, writing text resources, temporary download areas, and each package's manifest.
// Home queue: its own serial queue for copies and writes; reads (manifest, paths) on any thread.
// Owned by the kit. Package downloads arrive with the content downloader.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/server/ContentManifestSource.h"
#include "KestromKit/base/Expected.h"
#include "KestromKit/model/Manifest.h"
#include "platform/dispatch/Queue.h"

namespace kestrom {

class ContentHandler final : public ContentManifestSource {
 public:
  /// `contentPath` defaults to <caches>/<kit bundle id>/content.
  ContentHandler(std::filesystem::path variantURL, std::filesystem::path prepackedContentURL,
                 std::optional<std::filesystem::path> contentPath = std::nullopt);

  std::filesystem::path contentPath() const override { return contentPath_; }
  const std::filesystem::path& prepackedContentURL() const { return prepackedContentURL_; }
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  /// The content folder with the components joined by "/" appended (none: the folder itself).
  std::filesystem::path contentURL(const std::vector<std::string>& components) const;
  /// The manifest of the package for `language`, or none when it is missing or unreadable.
  std::optional<Manifest> readManifest(const std::string& language) const override;

  /// Replaces the content folder with the prepacked content, on the content queue; `completion`
  /// gets the outcome there. The old folder is removed only after the copy is complete.
  void restorePrepackedContent(std::function<void(bool)> completion);
  /// Writes `resource` as UTF-8 at `localPath` below the content folder (below the `tmpID`
  /// area when given), atomically; `completion` gets the outcome on the content queue.
  void writeResource(std::string localPath, std::string resource, std::optional<std::string> tmpID,
                     std::function<void(Expected<void, std::string>)> completion);
  /// Removes the temporary area of `tmpID`.
  Expected<void, std::string> cleanTemp(const std::string& tmpID);
  /// Forgets the queued downloads of `tmpID`.
  void removeQueuedDownload(const std::string& tmpID);
  /// Fetches `remoteURL` into the temporary area of `tmpID` at `localPath`.
  void downloadResource(std::string remoteURL, std::string localPath, std::string tmpID,
                        std::function<void(bool)> completion);
  /// Moves everything below `from` into `to`, merging folders; existing files are replaced.
  Expected<void, std::string> moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to);

 private:
  std::filesystem::path variantURL_;
  std::filesystem::path prepackedContentURL_;
  std::filesystem::path contentPath_;
  std::shared_ptr<dispatch::Queue> queue_;
};

}  // namespace kestrom

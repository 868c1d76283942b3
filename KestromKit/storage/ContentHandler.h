#pragma once
// The installed content packages under the user's caches folder: restoring the prepacked
// content, writing text resources, downloading package files into temporary areas and moving
// them into place, and each package's manifest.
//
// Home queue: "ContentHandlerQueue" runs the restore, the resource writes and the downloads, one
// at a time in submission order (a download holds the queue until its file is in place). The
// pending downloads per tmpId live on "ContentHandlerLock", entered briefly from main and from the
// content queue. Reads (manifest, paths) and the move into place run on the caller's thread; the
// clean runs on the content queue, behind any download still writing into the area. Owned by the content service; destroy it on main, never from one of its completions.

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/base/Expected.h"
#include "KestromKit/model/Manifest.h"
#include "KestromKit/server/ContentManifestSource.h"
#include "platform/dispatch/Queue.h"
#include "platform/downloader/Downloader.h"

namespace kestrom {

class ContentHandler final : public ContentManifestSource {
 public:
  /// `contentPath` defaults to <caches>/<kit bundle id>/content; the legacy folder
  /// <caches>/content is removed by every restore only with that default.
  ContentHandler(std::filesystem::path variantURL, std::filesystem::path prepackedContentURL,
                 std::shared_ptr<downloader::Downloader> downloader,
                 std::optional<std::filesystem::path> contentPath = std::nullopt);
  /// Stops the download in hand (its completion runs with false) and drops the queued ones.
  ~ContentHandler() override;
  ContentHandler(const ContentHandler&) = delete;
  ContentHandler& operator=(const ContentHandler&) = delete;

  std::filesystem::path contentPath() const override { return contentPath_; }
  const std::filesystem::path& variantURL() const { return variantURL_; }
  const std::filesystem::path& prepackedContentURL() const { return prepackedContentURL_; }
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  /// The content folder with the components joined by "/" appended (none: the folder itself).
  std::filesystem::path contentURL(const std::vector<std::string>& components) const;

  /// The manifest of `package` with every unit's `unavailableOffline` worked out from the
  /// activities present on disk; none when it is missing or does not decode.
  std::optional<Manifest> readManifest(const std::string& package) const override;
  /// Copies of `units` whose `unavailableOffline` is true exactly when one of its activities is
  /// not on disk (false for a unit without activities).
  std::vector<Manifest::ContentUnit> markUnavailableOffline(const std::vector<Manifest::ContentUnit>& units,
                                                            const std::string& package) const;
  bool activityIsAvailable(const Manifest::Activity& activity, const std::string& package,
                           const Manifest::ContentUnit& unit) const;

  /// Replaces the content folder with the prepacked content plus the variant's "versions.json",
  /// on the content queue. The old folder (temporary areas included) goes only once the new copy
  /// is complete. `completion` runs on main: true when "versions.json" reached the content folder.
  void restorePrepackedContent(std::function<void(bool)> completion);
  /// Writes `resource` at `localPath` below the content folder (below the `tmpID` area when
  /// given), atomically, on the content queue; `completion` runs there with the outcome.
  void writeResource(std::string localPath, std::string resource, std::optional<std::string> tmpID,
                     std::function<void(bool)> completion);
  /// Removes the temporary area of `tmpID` on the content queue; fails when it has none.
  /// `completion` runs there with the outcome.
  void cleanTemp(std::string tmpID, std::function<void(Expected<void, std::string>)> completion);

  /// Queues a download of `remoteURL` to `localPath` in the temporary area of `tmpID`. The
  /// downloads of one tmpId run last queued first. `completion` runs once on the content queue
  /// (true when the file is in place), unless a cancel drops the entry first. `requestID` is
  /// handed back by the cancel that drops it.
  void downloadResource(std::string remoteURL, std::string localPath, std::string tmpID,
                        std::function<void(bool)> completion, std::string requestID = {});
  /// Drops the queued downloads of `tmpID` (the one running finishes); their request ids.
  std::vector<std::string> cancelDownloads(const std::string& tmpID);
  /// True while a download of `tmpID` runs or waits.
  bool hasDownloads(const std::string& tmpID) const;

  /// Moves every file below `from` into the same place below `to`, merging folders; a file in the
  /// way (or a folder in the way of a file) is replaced only once the new file is in its place.
  /// Stops at the first failure; what was moved stays moved.
  static Expected<void, std::string> moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to);

 private:
  struct DownloadEntry {
    std::string remoteURL;
    std::string localPath;
    std::function<void(bool)> completion;
    std::string requestID;
  };

  /// Takes the newest entry of `tmpID` and fetches it, until its list is empty. Content queue.
  void fetchNextResource(const std::string& tmpID);
  /// Fetches one entry into the temporary area of `tmpID`, waiting for the file. Content queue.
  bool fetch(const std::string& tmpID, const DownloadEntry& entry);

  const std::filesystem::path variantURL_;
  const std::filesystem::path prepackedContentURL_;
  const std::filesystem::path contentPath_;
  const std::optional<std::filesystem::path> legacyContentPath_;
  const std::shared_ptr<downloader::Downloader> downloader_;
  std::shared_ptr<dispatch::Queue> queue_;
  const std::shared_ptr<dispatch::Queue> lock_;
  std::map<std::string, std::vector<DownloadEntry>> downloadQueue_;  // on lock_
  std::optional<std::string> runningTmpID_;                          // on lock_

  std::mutex currentMutex_;  // guards currentDownload_ and the cancel of it
  std::optional<downloader::DownloadId> currentDownload_;
  std::atomic<bool> stopping_{false};
};

}  // namespace kestrom

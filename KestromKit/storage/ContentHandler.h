#pragma once
// The installed content packages under the user's caches folder: restoring the prepacked
// content, writing text resources, downloading package files into temporary areas and moving
// them into place, and each package's manifest.
//
// Home queue: "ContentHandlerQueue" runs the restore, the resource writes and the cleans, one at a
// time in submission order, and starts and ends the downloads, which `ContentDownloads` keeps: a
// download streams in the downloader and never holds the queue, so one tmpId fetches one file at a
// time while other tmpIds and every other content request go on. Manifests are decoded and encoded
// one at a time on "ContentManifests", a queue of their own that waits on nothing. Reads of paths
// and the move into place run on the caller's thread; a clean runs on the content queue once no
// download writes into its area. Owned by the content service; destroy it on main, never from one
// of its completions.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestromKit/base/Expected.h"
#include "KestromKit/model/Manifest.h"
#include "KestromKit/server/ContentManifestSource.h"
#include "KestromKit/storage/ContentDownloads.h"
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
  /// Stops the downloads in hand (their completions run with false) and drops the queued ones.
  ~ContentHandler() override;
  ContentHandler(const ContentHandler&) = delete;
  ContentHandler& operator=(const ContentHandler&) = delete;

  std::filesystem::path contentPath() const override { return contentPath_; }
  const std::filesystem::path& variantURL() const { return variantURL_; }
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  /// The content folder with the components joined by "/" appended (none: the folder itself).
  std::filesystem::path contentURL(const std::vector<std::string>& components) const;

  /// The largest "manifest.json" read; a larger one is refused before it is read. Real manifests
  /// are far smaller; decoded and encoded again one takes about twelve times its text, so twenty
  /// requested at once stay within a few tens of MiB.
  static constexpr std::uint64_t kMaxManifestBytes = std::uint64_t{2} << 20;

  /// The manifest of `package` with every unit's `unavailableOffline` worked out from the
  /// activities present on disk; none when it is missing, too large or does not decode (logged).
  /// Manifests are decoded one at a time, on "ContentManifests".
  std::optional<Manifest> readManifest(const std::string& package) const override;
  /// That manifest encoded as JSON, decoded and encoded on "ContentManifests".
  std::optional<std::string> manifestJSON(const std::string& package) const override;

  /// Replaces the content folder with the prepacked content plus the variant's "versions.json",
  /// on the content queue. The old folder (temporary areas included) goes only once the new copy
  /// is complete. `completion` runs on main: true when "versions.json" reached the content folder.
  void restorePrepackedContent(std::function<void(bool)> completion);
  /// Start-up's copy of the prepacked content replaces the folder the downloads write into: the
  /// downloads asked for from now on wait (queued, counted by `hasDownloads`) until
  /// `releaseDownloads`. Main, before any download is asked for.
  void holdDownloads() { downloads_.hold(); }
  /// Starts the held downloads on the content queue, behind the work queued before (the restore
  /// and the sweep of stray temporaries start-up queues first), and the cleans that wait for them.
  void releaseDownloads() { downloads_.release(); }
  /// Writes `resource` at `localPath` below the content folder (below the `tmpID` area when
  /// given), atomically, on the content queue; `completion` runs there with the outcome.
  void writeResource(std::string localPath, std::string resource, std::optional<std::string> tmpID,
                     std::function<void(bool)> completion);
  /// Removes the temporary area of `tmpID` on the content queue, once no download of `tmpID` runs
  /// or waits; fails when it has none. `completion` runs there with the outcome.
  void cleanTemp(std::string tmpID, std::function<void(Expected<void, std::string>)> completion);

  /// Queues a download of `remoteURL` to `localPath` in the temporary area of `tmpID`. The
  /// downloads of one tmpId run last queued first. `completion` runs once on the content queue
  /// (true when the file is in place), unless a cancel drops the entry first. `requestID` is
  /// handed back by the cancel that drops it.
  void downloadResource(std::string remoteURL, std::string localPath, std::string tmpID,
                        std::function<void(bool)> completion, std::string requestID = {}) {
    downloads_.add(std::move(remoteURL), std::move(localPath), std::move(tmpID), std::move(completion),
                   std::move(requestID));
  }
  /// Drops the queued downloads of `tmpID` and stops the one running (its completion runs with
  /// false, its partial file removed); the request ids of the dropped ones.
  std::vector<std::string> cancelDownloads(const std::string& tmpID) { return downloads_.cancel(tmpID); }
  /// True while a download of `tmpID` runs or waits.
  bool hasDownloads(const std::string& tmpID) const { return downloads_.has(tmpID); }

  /// Moves every file below `from` into the same place below `to`, merging folders; a file in the
  /// way (or a folder in the way of a file) is replaced only once the new file is in its place.
  /// Stops at the first failure; what was moved stays moved.
  /// Skips the temporary files of unfinished downloads and writes.
  static Expected<void, std::string> moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to);

  /// True for the hidden names of the host's own temporary files: partial downloads, files an
  /// atomic write has not renamed yet, files a move set aside.
  static bool isTemporaryName(std::string_view name);
  /// Removes those the content folder holds (left by a host that was killed), on the content
  /// queue. Called once at start, before any download or write.
  void removeStrayTemporaries();

 private:
  /// Sets each unit's `unavailableOffline`: true exactly when one of its activities is not on disk
  /// (false for a unit without activities).
  void markUnavailableOffline(std::vector<Manifest::ContentUnit>& units, const std::string& package) const;
  bool activityIsAvailable(const Manifest::Activity& activity, const std::string& package,
                           const Manifest::ContentUnit& unit) const;

  const std::filesystem::path variantURL_;
  const std::filesystem::path prepackedContentURL_;
  const std::filesystem::path contentPath_;
  const std::optional<std::filesystem::path> legacyContentPath_;
  std::shared_ptr<dispatch::Queue> queue_;
  const std::shared_ptr<dispatch::Queue> manifestQueue_;  // decodes and encodes the manifests
  ContentDownloads downloads_;  // started and ended on queue_
};

}  // namespace kestrom

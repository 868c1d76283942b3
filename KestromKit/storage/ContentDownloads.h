#pragma once
// The downloads of the content handler: those waiting per tmpId, the one in flight per tmpId, the
// page's cancels, the hold during start-up's copy, the cleans that wait for a tmpId's downloads,
// and the stop.
//
// Home queue: the content handler's queue ("ContentHandlerQueue") starts each download and runs its
// end (its completion, then the next download of its tmpId); the download itself streams in the
// downloader and never holds the queue, so one tmpId fetches one file at a time while other tmpIds
// and the rest of the content work go on. One mutex guards all of the state below, each time
// briefly: main takes it to add, cancel and ask, the queue to start and end, the downloader's
// thread to report an end. Completions and cleans run outside it. Owned by the content handler,
// which stops it before it drains and ends its queue.

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/downloader/Downloader.h"

namespace kestrom {

/// The content downloads into the temporary areas of the content folder, waiting and in flight.
class ContentDownloads {
 public:
  /// Downloads into <contentPath>/<tmpId>/<local path> through `downloader` (none fails each
  /// one), started and ended on `queue`.
  ContentDownloads(std::filesystem::path contentPath, std::shared_ptr<downloader::Downloader> downloader,
                   std::shared_ptr<dispatch::Queue> queue);
  /// Stops, as `stop` does.
  ~ContentDownloads();
  ContentDownloads(const ContentDownloads&) = delete;
  ContentDownloads& operator=(const ContentDownloads&) = delete;

  /// Queues a download of `remoteURL` to `localPath` in the area of `tmpID`; the downloads of one
  /// tmpId run last queued first. `completion` runs once on the queue (true when the file is in
  /// place), unless a cancel drops the download first; `requestID` is what that cancel hands back.
  void add(std::string remoteURL, std::string localPath, std::string tmpID, std::function<void(bool)> completion,
           std::string requestID);
  /// Drops the waiting downloads of `tmpID` and aborts the one in flight (its completion runs with
  /// false, its partial file removed); the request ids of the dropped ones.
  std::vector<std::string> cancel(const std::string& tmpID);
  /// True while a download of `tmpID` is in flight or waits.
  bool has(const std::string& tmpID) const;

  /// The downloads added from now on wait until `release`. Main, before any download is added.
  void hold();
  /// Starts the held downloads on the queue, behind the work queued there before (start-up's copy
  /// of the prepacked content), and then the cleans that waited for them.
  void release();
  /// Runs `then` once no download of `tmpID` is in flight or waits: at once when none does, else on
  /// the queue after the last one ended (never, when the downloads stop first). On the queue.
  void afterDownloads(const std::string& tmpID, std::function<void()> then);

  /// Aborts the downloads in flight and waits until each completion has run (with false); the
  /// waiting ones and those added later never start. Main; any number of times.
  void stop();

 private:
  struct Download {
    std::string remoteURL;
    std::string localPath;
    std::function<void(bool)> completion;
    std::string requestID;
  };
  /// The download of a tmpId taken from its waiting list, until its end has run on the queue.
  struct InFlight {
    std::optional<downloader::DownloadId> id;  // while the downloader holds it
    bool cancelled = false;                    // cancelled before the downloader had it
  };

  /// Starts the newest waiting download of `tmpID` unless one of `tmpID` is in flight or the
  /// downloads are held or stopped; when none waits, runs the cleans that waited. On the queue.
  void startNext(const std::string& tmpID);
  /// Hands `download` to the downloader; false when it cannot start. On the queue.
  bool start(const std::string& tmpID, const std::shared_ptr<Download>& download);
  /// The downloader's report of the end of `tmpID`'s download. The downloader's thread.
  void onDownloaded(const std::string& tmpID, const std::shared_ptr<Download>& download, bool ok);
  /// The end of `tmpID`'s download: its completion, then the next one. On the queue.
  void ended(const std::string& tmpID, Download download, bool ok);
  bool hasLocked(const std::string& tmpID) const;

  const std::filesystem::path contentPath_;
  const std::shared_ptr<downloader::Downloader> downloader_;
  const std::shared_ptr<dispatch::Queue> queue_;

  // Guards every field below. The downloader is called under it: it never runs a completion
  // inside download() or cancel(), nor under a lock of its own.
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Download>> waiting_;  // per tmpId, oldest first; a cancel removes the key
  std::map<std::string, InFlight> inFlight_;              // at most one per tmpId
  std::map<std::string, std::vector<std::function<void()>>> afterDownloads_;  // per tmpId, see afterDownloads
  bool held_ = false;
  bool stopping_ = false;
  std::condition_variable downloaderDone_;  // a download left the downloader while stopping
};

}  // namespace kestrom

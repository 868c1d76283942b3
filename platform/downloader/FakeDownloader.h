#pragma once
// A Downloader for kit tests and headless runs: it fetches nothing, keeps every request and lets
// the test finish each one. Handlers run on the queue given at construction (a ManualQueue in
// tests), never inside the call that triggers them, as with the real backend. Any thread.

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/downloader/Downloader.h"

namespace kestrom::downloader {

class FakeDownloader final : public Downloader {
 public:
  struct Request {
    DownloadId id = 0;
    std::string url;
    std::filesystem::path destination;
    bool cancelled = false;  // cancel() was called while it was pending
    bool finished = false;   // its completion has been queued
  };

  explicit FakeDownloader(std::shared_ptr<dispatch::Queue> handlerQueue);

  // Downloader
  DownloadId download(std::string url, std::filesystem::path destination, ProgressHandler progress,
                      CompletionHandler completion) override;
  /// Finishes a pending request with `cancelled`, as the real backend does.
  void cancel(DownloadId id) override;

  /// Every request so far, in the order they came.
  std::vector<Request> requests() const;
  /// The ids of the requests not finished yet, oldest first.
  std::vector<DownloadId> pending() const;

  /// Queues a progress report for a pending request.
  void reportProgress(DownloadId id, DownloadProgress progress);
  /// Writes `body` to the request's destination (through a temporary file renamed into place)
  /// and queues its completion with success; a write failure completes it with the error `file`.
  /// False when the request is not pending.
  bool succeed(DownloadId id, const std::string& body);
  /// Queues the request's completion with a failure of `kind`, its message built as the real
  /// backend builds it. False when the request is not pending.
  bool fail(DownloadId id, DownloadErrorKind kind, const std::string& detail = "failed", long httpStatus = 0);

 private:
  struct Entry {
    Request request;
    ProgressHandler progress;
    CompletionHandler completion;
  };

  /// Marks the request finished and queues its completion; false when it is not pending.
  bool complete(DownloadId id, const std::function<DownloadResult(const Request&)>& outcome);

  const std::shared_ptr<dispatch::Queue> queue_;
  mutable std::mutex mutex_;  // guards entries_ and lastId_
  std::map<DownloadId, Entry> entries_;
  DownloadId lastId_ = 0;
};

}  // namespace kestrom::downloader

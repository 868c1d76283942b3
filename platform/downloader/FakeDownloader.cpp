#include "platform/downloader/FakeDownloader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace kestrom::downloader {

FakeDownloader::FakeDownloader(std::shared_ptr<dispatch::Queue> handlerQueue) : queue_(std::move(handlerQueue)) {}

DownloadId FakeDownloader::download(std::string url, std::filesystem::path destination, ProgressHandler progress,
                                    CompletionHandler completion) {
  std::lock_guard lock(mutex_);
  const DownloadId id = ++lastId_;
  Entry entry;
  entry.request = Request{id, std::move(url), std::move(destination), false, false};
  entry.progress = std::move(progress);
  entry.completion = std::move(completion);
  entries_.emplace(id, std::move(entry));
  return id;
}

void FakeDownloader::cancel(DownloadId id) {
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end() || it->second.request.finished) return;
    it->second.request.cancelled = true;
  }
  complete(id, [](const Request& r) -> DownloadResult {
    return makeUnexpected(makeDownloadError(DownloadErrorKind::cancelled, r.url, "cancelled"));
  });
}

std::vector<FakeDownloader::Request> FakeDownloader::requests() const {
  std::lock_guard lock(mutex_);
  std::vector<Request> all;
  for (const auto& [id, entry] : entries_) all.push_back(entry.request);
  return all;
}

std::vector<DownloadId> FakeDownloader::pending() const {
  std::lock_guard lock(mutex_);
  std::vector<DownloadId> ids;
  for (const auto& [id, entry] : entries_) {
    if (!entry.request.finished) ids.push_back(id);
  }
  return ids;
}

void FakeDownloader::reportProgress(DownloadId id, DownloadProgress progress) {
  ProgressHandler handler;
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end() || it->second.request.finished || !it->second.progress) return;
    handler = it->second.progress;
  }
  queue_->async([handler = std::move(handler), progress] { handler(progress); });
}

bool FakeDownloader::succeed(DownloadId id, const std::string& body) {
  return complete(id, [&body](const Request& r) -> DownloadResult {
    const std::filesystem::path temporary = r.destination.string() + ".fake-download";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out.write(body.data(), static_cast<std::streamsize>(body.size()));
      out.flush();
      if (!out) {
        const int code = errno;
        std::filesystem::remove(temporary);
        return makeUnexpected(makeDownloadError(DownloadErrorKind::file, r.url,
                                                     "could not write " + temporary.string() + ": " + std::strerror(code)));
      }
    }
    if (std::rename(temporary.c_str(), r.destination.c_str()) != 0) {
      const int code = errno;
      std::filesystem::remove(temporary);
      return makeUnexpected(makeDownloadError(
          DownloadErrorKind::file, r.url, "could not move the file into place at " + r.destination.string() + ": " +
                                              std::strerror(code)));
    }
    return {};
  });
}

bool FakeDownloader::fail(DownloadId id, DownloadErrorKind kind, const std::string& detail, long httpStatus) {
  return complete(id, [&](const Request& r) -> DownloadResult {
    return makeUnexpected(makeDownloadError(kind, r.url, detail, httpStatus));
  });
}

bool FakeDownloader::complete(DownloadId id, const std::function<DownloadResult(const Request&)>& outcome) {
  Request request;
  CompletionHandler completion;
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end() || it->second.request.finished) return false;
    it->second.request.finished = true;
    request = it->second.request;
    completion = std::move(it->second.completion);
    it->second.progress = nullptr;
  }
  auto result = outcome(request);
  queue_->async([completion = std::move(completion), result = std::move(result)]() mutable {
    completion(std::move(result));
  });
  return true;
}

}  // namespace kestrom::downloader

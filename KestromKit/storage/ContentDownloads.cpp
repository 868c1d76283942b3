#include "KestromKit/storage/ContentDownloads.h"

#include <set>

#include "KestromKit/base/Constants.h"
#include "KestromKit/base/PathCheck.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/log/RequestValue.h"

namespace kestrom {

namespace fs = std::filesystem;

ContentDownloads::ContentDownloads(fs::path contentPath, std::shared_ptr<downloader::Downloader> downloader,
                                   std::shared_ptr<dispatch::Queue> queue)
    : contentPath_(std::move(contentPath)), downloader_(std::move(downloader)), queue_(std::move(queue)) {}

ContentDownloads::~ContentDownloads() { stop(); }

void ContentDownloads::add(std::string remoteURL, std::string localPath, std::string tmpID,
                           std::function<void(bool)> completion, std::string requestID) {
  {
    std::lock_guard lock(mutex_);
    waiting_[tmpID].push_back(Download{std::move(remoteURL), std::move(localPath), std::move(completion),
                                       std::move(requestID)});
  }
  queue_->async([this, tmpID] { startNext(tmpID); });
}

std::vector<std::string> ContentDownloads::cancel(const std::string& tmpID) {
  std::vector<std::string> dropped;
  std::lock_guard lock(mutex_);
  if (auto node = waiting_.extract(tmpID))
    for (auto& download : node.mapped()) dropped.push_back(std::move(download.requestID));
  if (auto inFlight = inFlight_.find(tmpID); inFlight != inFlight_.end()) {
    if (inFlight->second.id)
      downloader_->cancel(*inFlight->second.id);
    else
      inFlight->second.cancelled = true;  // `start` refuses it
  }
  return dropped;
}

bool ContentDownloads::has(const std::string& tmpID) const {
  std::lock_guard lock(mutex_);
  return hasLocked(tmpID);
}

bool ContentDownloads::hasLocked(const std::string& tmpID) const {
  if (inFlight_.contains(tmpID)) return true;
  auto waiting = waiting_.find(tmpID);
  return waiting != waiting_.end() && !waiting->second.empty();
}

void ContentDownloads::hold() {
  std::lock_guard lock(mutex_);
  held_ = true;
}

void ContentDownloads::release() {
  queue_->async([this] {
    std::set<std::string> tmpIDs;
    {
      std::lock_guard lock(mutex_);
      held_ = false;
      for (const auto& [tmpID, downloads] : waiting_) tmpIDs.insert(tmpID);
      // A clean whose downloads a cancel dropped while they were held runs now.
      for (const auto& [tmpID, tasks] : afterDownloads_) tmpIDs.insert(tmpID);
    }
    for (const auto& tmpID : tmpIDs) startNext(tmpID);
  });
}

void ContentDownloads::afterDownloads(const std::string& tmpID, std::function<void()> then) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  {
    std::lock_guard lock(mutex_);
    if (!stopping_ && hasLocked(tmpID)) {
      afterDownloads_[tmpID].push_back(std::move(then));
      return;
    }
  }
  then();
}

void ContentDownloads::stop() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  for (const auto& [tmpID, inFlight] : inFlight_)
    if (inFlight.id) downloader_->cancel(*inFlight.id);
  // Each completion runs once, soon after its cancel, and calls back into this object.
  downloaderDone_.wait(lock, [this] {
    for (const auto& [tmpID, inFlight] : inFlight_)
      if (inFlight.id) return false;
    return true;
  });
}

void ContentDownloads::startNext(const std::string& tmpID) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  for (;;) {
    std::unique_lock lock(mutex_);
    if (stopping_ || held_ || inFlight_.contains(tmpID)) return;  // the end of the one in flight starts the next
    auto waiting = waiting_.find(tmpID);
    if (waiting == waiting_.end() || waiting->second.empty()) {
      auto tasks = afterDownloads_.extract(tmpID);
      lock.unlock();
      if (tasks)
        for (auto& task : tasks.mapped()) task();
      return;
    }
    auto download = std::make_shared<Download>(std::move(waiting->second.back()));
    waiting->second.pop_back();
    inFlight_.emplace(tmpID, InFlight{});
    lock.unlock();
    if (start(tmpID, download)) return;
    lock.lock();
    inFlight_.erase(tmpID);
    lock.unlock();
    if (download->completion) download->completion(false);
  }
}

bool ContentDownloads::start(const std::string& tmpID, const std::shared_ptr<Download>& download) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  auto refuse = [&] {
    Constants::log().general.error("Refusing to download %s to tmpId %s, path %s",
                                   log::requestValue(download->remoteURL), log::requestValue(tmpID),
                                   log::requestValue(download->localPath));
    return false;
  };
  auto localPath = checkRelativePath(download->localPath);
  if (!checkPathComponent(tmpID) || !localPath || !downloader_) return refuse();
  const auto area = contentPath_ / tmpID;
  std::error_code error;
  fs::create_directories((area / *localPath).parent_path(), error);
  // Links below the area must not lead the file out of it.
  auto destination = resolveUnder(area, localPath->string(), {.allowLeadingSlash = false});
  if (!destination) return refuse();

  std::lock_guard lock(mutex_);
  auto& inFlight = inFlight_.at(tmpID);
  if (stopping_ || inFlight.cancelled) return false;
  // The completion cannot run before the id is recorded: it waits for the mutex held here.
  inFlight.id = downloader_->download(download->remoteURL, *destination, {},
                                      [this, tmpID, download](downloader::DownloadResult result) {
                                        if (!result) Constants::log().general.error("%s", result.error().message);
                                        onDownloaded(tmpID, download, result.has_value());
                                      });
  return true;
}

void ContentDownloads::onDownloaded(const std::string& tmpID, const std::shared_ptr<Download>& download, bool ok) {
  std::unique_lock lock(mutex_);
  if (!stopping_) {
    inFlight_.at(tmpID).id.reset();
    queue_->async([this, tmpID, download, ok] { ended(tmpID, std::move(*download), ok); });
    return;
  }
  // Stopping: the queue takes nothing more, and `stop` waits until this completion has run.
  lock.unlock();
  if (download->completion) download->completion(false);
  lock.lock();
  inFlight_.at(tmpID).id.reset();
  downloaderDone_.notify_all();
}

void ContentDownloads::ended(const std::string& tmpID, Download download, bool ok) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  {
    std::lock_guard lock(mutex_);
    inFlight_.erase(tmpID);
  }
  if (download.completion) download.completion(ok);
  startNext(tmpID);
}

}  // namespace kestrom

#include "KestromKit/storage/ContentService.h"

#include "KestromKit/model/ConfigRecords.h"
#include "KestromKit/base/AtomicFile.h"
#include "KestromKit/base/Constants.h"

namespace kestrom {

namespace {

std::optional<IAppVersion> readVersions(const std::filesystem::path& folder) {
  auto text = AtomicFile::read(folder / "versions.json");
  if (!text) return std::nullopt;
  auto decoded = decodeText<IAppVersion>(*text);
  if (!decoded) return std::nullopt;
  return std::move(*decoded);
}

}  // namespace

ContentService::ContentService(std::shared_ptr<ContentHandler> contentHandler)
    : contentHandler_(std::move(contentHandler)), queue_(dispatch::makeSerialQueue("ContentServiceQueue")) {}

bool ContentService::needsPrepackedContentCopy() const {
  auto installed = readVersions(contentHandler_->contentPath());
  auto prepacked = readVersions(contentHandler_->prepackedContentURL());
  return !(installed && prepacked && *installed == *prepacked);
}

void ContentService::continueAfterPrepackedCopy(const RPCMessage& message, const std::function<void()>& continuation) {
  const auto* response = message.response();
  if (!response || response->kind() != RPC::Response::Case::contentRestoreContent) return;
  Constants::log().general.info("Finished coping new prepacked content");
  if (continuation) continuation();
}

void ContentService::addDownloadingInterface(const std::string& requestID, std::shared_ptr<RPCInterface> interface) {
  queue_->sync([&] { downloadingInterfaces_.insert_or_assign(requestID, std::move(interface)); });
}

void ContentService::downloadFinished(const std::string& requestID, bool success, const std::string& tmpID,
                                      const std::string& localPath) {
  std::shared_ptr<RPCInterface> interface;
  queue_->sync([&] {
    if (auto node = downloadingInterfaces_.extract(requestID)) interface = std::move(node.mapped());
  });
  if (!interface) return;
  if (success)
    interface->send(RPC::Response::make<RPC::Response::Case::contentDownloadResource>(requestID));
  else
    interface->send(RPC::Response::error(requestID, "Error downloading resource to tmpId: " + tmpID +
                                                        " for path: " + localPath));
}

}  // namespace kestrom

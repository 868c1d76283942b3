#include "KestromKit/storage/ContentService.h"

#include "KestromKit/model/ConfigRecords.h"
#include "KestromKit/base/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/base/PathCheck.h"

namespace kestrom {

namespace fs = std::filesystem;

namespace {

using ResponseCase = RPC::Response::Case;

/// The scheme of `url` when it has the shape scheme ":" rest, lower-cased; none otherwise.
std::optional<std::string> schemeOf(const std::string& url) {
  auto colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  std::string scheme;
  for (std::size_t i = 0; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(url[i]);
    if (!(std::isalnum(c) || c == '+' || c == '-' || c == '.') || (i == 0 && !std::isalpha(c))) return std::nullopt;
    scheme += static_cast<char>(std::tolower(c));
  }
  for (unsigned char c : url)
    if (c <= 0x20 || c == 0x7f) return std::nullopt;  // no blanks or control characters in a URL
  return scheme;
}

/// http and https with a host: the only downloads the host makes.
bool isDownloadURL(const std::string& url) {
  auto scheme = schemeOf(url);
  if (!scheme || (*scheme != "http" && *scheme != "https")) return false;
  auto rest = std::string_view(url).substr(scheme->size() + 1);
  return rest.size() > 2 && rest.substr(0, 2) == "//" && rest[2] != '/';
}

/// http, https and mailto: the only links the host hands to the desktop.
bool isOpenableLink(const std::string& url) {
  auto scheme = schemeOf(url);
  if (!scheme) return false;
  if (*scheme == "mailto") return url.size() > 7;
  return isDownloadURL(url);
}

std::optional<IAppVersion> readVersions(const std::filesystem::path& folder) {
  auto text = AtomicFile::read(folder / "versions.json");
  if (!text) return std::nullopt;
  auto decoded = decodeText<IAppVersion>(*text);
  if (!decoded) return std::nullopt;
  return std::move(*decoded);
}

}  // namespace

ContentService::ContentService(std::shared_ptr<ContentHandler> contentHandler,
                               std::shared_ptr<launcher::Launcher> launcher)
    : contentHandler_(std::move(contentHandler)),
      launcher_(std::move(launcher)),
      queue_(dispatch::makeSerialQueue("ContentServiceQueue")) {}

void ContentService::downloadResource(const std::string& id, const RPCRequestContentDownloadResourceParams& params,
                                      std::shared_ptr<RPCInterface> interface) {
  if (!isDownloadURL(params.remoteURL)) {
    interface->send(RPC::Response::error(id, "contentDownloadResource: Invalid URL: " + params.remoteURL));
    return;
  }
  if (!checkPathComponent(params.tmpID) || !checkRelativePath(params.localPath)) {
    interface->send(RPC::Response::error(id, "Error downloading resource to tmpId: " + params.tmpID + " for path: " +
                                                 params.localPath));
    return;
  }
  addDownloadingInterface(id, std::move(interface));
  std::weak_ptr<ContentService> weak = weak_from_this();
  contentHandler_->downloadResource(params.remoteURL, params.localPath, params.tmpID,
                                    [weak, id, tmpID = params.tmpID, localPath = params.localPath](bool ok) {
                                      if (auto self = weak.lock()) self->downloadFinished(id, ok, tmpID, localPath);
                                    });
}

void ContentService::writeTmpResource(const std::string& id, RPCRequestContentWriteTmpResourceParams params,
                                      std::shared_ptr<RPCInterface> interface) {
  write(id, ResponseCase::contentWriteTmpResource, std::move(params.localPath), std::move(params.resource),
        std::move(params.tmpID), std::move(interface));
}

void ContentService::writeResource(const std::string& id, RPCRequestContentWriteResourceParams params,
                                   std::shared_ptr<RPCInterface> interface) {
  write(id, ResponseCase::contentWriteResource, std::move(params.localPath), std::move(params.resource), std::nullopt,
        std::move(interface));
}

void ContentService::write(const std::string& id, RPC::Response::Case kind, std::string localPath,
                           std::string resource, std::optional<std::string> tmpID,
                           std::shared_ptr<RPCInterface> interface) {
  contentHandler_->writeResource(std::move(localPath), std::move(resource), std::move(tmpID),
                                 [interface = std::move(interface), id, kind](Expected<void, std::string> written) {
                                   if (written)
                                     interface->send(RPC::Response::emptyResult(kind, id));
                                   else
                                     interface->send(RPC::Response::error(id, "Error writing resource: " + written.error()));
                                 });
}

void ContentService::confirmDownloadResource(const std::string& id,
                                             const RPCRequestContentConfirmDownloadResourceParams& params,
                                             RPCInterface& interface) {
  auto tmpID = checkPathComponent(params.tmpID);
  if (!tmpID) {
    interface.send(RPC::Response::error(id, "Error syncing download using tmpId: " + params.tmpID + " - message: invalid tmpId"));
    return;
  }
  auto from = contentHandler_->contentURL({*tmpID});
  auto moved = contentHandler_->moveIntoPlace(from, contentHandler_->contentURL({}));
  if (!moved) {
    interface.send(RPC::Response::error(id, "Error syncing download using tmpId: " + params.tmpID + " - message: " + moved.error()));
    return;
  }
  interface.send(RPC::Response::make<ResponseCase::contentConfirmDownloadResource>(id));
  std::error_code error;
  fs::remove_all(from, error);
}

void ContentService::cancelDownloadResources(const std::string& id,
                                             const RPCRequestContentCancelDownloadResourcesParams& params,
                                             RPCInterface& interface) {
  queue_->sync([&] { contentHandler_->removeQueuedDownload(params.tmpID); });
  interface.send(RPC::Response::make<ResponseCase::contentCancelDownloadResources>(id));
}

void ContentService::cleanTemp(const std::string& id, const RPCRequestContentCleanTempParams& params,
                               RPCInterface& interface) {
  auto cleaned = contentHandler_->cleanTemp(params.tmpID);
  if (!cleaned) {
    Constants::log().general.error("Error cleaning tmpId: %s - message: %s", params.tmpID, cleaned.error());
    // The page would otherwise wait for this answer forever.
    interface.send(RPC::Response::error(id, "Error cleaning tmpId: " + params.tmpID + " - message: " + cleaned.error()));
    return;
  }
  interface.send(RPC::Response::make<ResponseCase::contentCleanTemp>(id));
}

void ContentService::restoreContent(const std::string& id, bool restore, std::shared_ptr<RPCInterface> interface) {
  contentHandler_->restorePrepackedContent([interface = std::move(interface), id, restore](bool ok) {
    if (!ok) {
      interface->send(RPC::Response::error(id, restore ? "Error copying packaged contents" : "Error deleting content"));
      return;
    }
    if (restore) {
      interface->send(RPC::Notification::make<RPC::Notification::Case::contentRestored>());
      interface->send(RPC::Response::make<ResponseCase::contentRestoreContent>(id));
    } else {
      interface->send(RPC::Notification::make<RPC::Notification::Case::contentDeleted>());
      interface->send(RPC::Response::make<ResponseCase::contentDeleteContent>(id));
    }
  });
}

void ContentService::openExternalLink(const std::string& id, const RPCRequestContentOpenExternalLinkParams& params,
                                      std::shared_ptr<RPCInterface> interface) {
  if (!isOpenableLink(params.link) || !launcher_) {
    interface->send(RPC::Response::error(id, "contentOpenExternalLink: Invalid URL: " + params.link));
    return;
  }
  launcher_->open(params.link, [interface = std::move(interface), id](bool) {
    interface->send(RPC::Response::make<ResponseCase::contentOpenExternalLink>(id));
  });
}

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

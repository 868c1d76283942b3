#include "KestromKit/storage/ContentService.h"

#include "KestromKit/model/ConfigRecords.h"
#include "platform/files/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/base/PathCheck.h"
#include "platform/AsciiCase.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/log/RequestValue.h"

namespace kestrom {

namespace fs = std::filesystem;

namespace {

using ResponseCase = RPC::Response::Case;

/// The scheme of `url` when it has the shape scheme ":" rest, lower-cased; none otherwise.
std::optional<std::string> schemeOf(const std::string& url) {
  auto colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  for (std::size_t i = 0; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(url[i]);
    if (!(std::isalnum(c) || c == '+' || c == '-' || c == '.') || (i == 0 && !std::isalpha(c))) return std::nullopt;
  }
  for (unsigned char c : url)
    if (c <= 0x20 || c == 0x7f) return std::nullopt;  // no blanks or control characters in a URL
  return asciiLowercased(std::string_view(url).substr(0, colon));
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

ContentService::ContentService(std::shared_ptr<ContentHandler> contentHandler, std::shared_ptr<RPCInterface> interface,
                               std::shared_ptr<launcher::Launcher> launcher)
    : contentHandler_(std::move(contentHandler)), interface_(std::move(interface)), launcher_(std::move(launcher)) {}

void ContentService::downloadResource(const std::string& id, const RPCRequestContentDownloadResourceParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!isDownloadURL(params.remoteURL)) {
    interface_->send(RPC::Response::error(id, "contentDownloadResource: Invalid URL: " + params.remoteURL));
    return;
  }
  if (!checkPathComponent(params.tmpID) || !checkRelativePath(params.localPath)) {
    Constants::log().general.error("Refusing to download to tmpId %s, path %s", log::requestValue(params.tmpID),
                                   log::requestValue(params.localPath));
    interface_->send(RPC::Response::error(id, "Error downloading resource to tmpId: " + params.tmpID + " for path: " +
                                                 params.localPath));
    return;
  }
  awaitingReply_.insert(id);
  std::weak_ptr<ContentService> weak = weak_from_this();
  contentHandler_->downloadResource(
      params.remoteURL, params.localPath, params.tmpID,
      [weak, id, tmpID = params.tmpID, localPath = params.localPath](bool ok) {
        // On the content queue: the reply goes out from main.
        dispatch::mainQueue()->async([weak, id, tmpID, localPath, ok] {
          if (auto self = weak.lock()) self->replyDownloadResource(id, ok, tmpID, localPath);
        });
      },
      id);
}

void ContentService::writeTmpResource(const std::string& id, RPCRequestContentWriteTmpResourceParams params) {
  write(id, ResponseCase::contentWriteTmpResource, std::move(params.localPath), std::move(params.resource),
        std::move(params.tmpID));
}

void ContentService::writeResource(const std::string& id, RPCRequestContentWriteResourceParams params) {
  write(id, ResponseCase::contentWriteResource, std::move(params.localPath), std::move(params.resource), std::nullopt);
}

void ContentService::write(const std::string& id, RPC::Response::Case kind, std::string localPath,
                           std::string resource, std::optional<std::string> tmpID) {
  auto failure = "Error writing resource to tmpId: " + tmpID.value_or("nil") + " for path: " + localPath;
  contentHandler_->writeResource(
      std::move(localPath), std::move(resource), std::move(tmpID),
      [interface = interface_, id, kind, failure = std::move(failure)](bool written) {
        // On the content queue: the reply goes out from main.
        dispatch::mainQueue()->async([interface, id, kind, failure, written] {
          if (written)
            interface->send(RPC::Response::emptyResult(kind, id));
          else
            interface->send(RPC::Response::error(id, failure));
        });
      });
}

void ContentService::confirmDownloadResource(const std::string& id,
                                             const RPCRequestContentConfirmDownloadResourceParams& params) {
  auto failed = [&](const std::string& message) {
    interface_->send(RPC::Response::error(id, "Error syncing download using tmpId: " + params.tmpID + " - message: " + message));
  };
  if (!checkPathComponent(params.tmpID)) return failed("invalid tmpId");
  // A download still writing into the area would leave its partial file (or its file would land
  // after the move) in the content folder: the page confirms once every download has answered.
  if (contentHandler_->hasDownloads(params.tmpID)) return failed("downloads into it are still running");
  auto from = contentHandler_->contentURL({params.tmpID});
  auto moved = ContentHandler::moveIntoPlace(from, contentHandler_->contentURL({}));
  std::error_code error;
  fs::remove_all(from, error);
  if (!moved) return failed(moved.error());
  interface_->send(RPC::Response::make<ResponseCase::contentConfirmDownloadResource>(id));
}

void ContentService::cancelDownloadResources(const std::string& id,
                                             const RPCRequestContentCancelDownloadResourcesParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  // The dropped downloads are never answered: they wait for no reply any longer.
  for (const auto& requestID : contentHandler_->cancelDownloads(params.tmpID)) awaitingReply_.erase(requestID);
  interface_->send(RPC::Response::make<ResponseCase::contentCancelDownloadResources>(id));
}

void ContentService::cleanTemp(const std::string& id, const RPCRequestContentCleanTempParams& params) {
  contentHandler_->cleanTemp(params.tmpID, [interface = interface_, id, tmpID = params.tmpID](
                                               Expected<void, std::string> cleaned) {
    // On the content queue: the reply goes out from main, behind the download replies before it.
    dispatch::mainQueue()->async([interface, id, tmpID, cleaned = std::move(cleaned)] {
      if (!cleaned) {
        Constants::log().general.error("Error cleaning tmpId: %s - message: %s", log::requestValue(tmpID), cleaned.error());
        // The page would otherwise wait for this answer forever.
        interface->send(RPC::Response::error(id, "Error cleaning tmpId: " + tmpID + " - message: " + cleaned.error()));
        return;
      }
      interface->send(RPC::Response::make<ResponseCase::contentCleanTemp>(id));
    });
  });
}

void ContentService::restoreContent(const std::string& id, bool restore) {
  contentHandler_->restorePrepackedContent([interface = interface_, id, restore](bool ok) {
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

void ContentService::openExternalLink(const std::string& id, const RPCRequestContentOpenExternalLinkParams& params) {
  if (!isOpenableLink(params.link) || !launcher_) {
    interface_->send(RPC::Response::error(id, "contentOpenExternalLink: Invalid URL: " + params.link));
    return;
  }
  launcher_->open(params.link, [interface = interface_, id](bool) {
    interface->send(RPC::Response::make<ResponseCase::contentOpenExternalLink>(id));
  });
}

bool ContentService::needsPrepackedContentCopy() const {
  auto installed = readVersions(contentHandler_->contentPath());
  if (!installed) return true;
  auto variant = readVersions(contentHandler_->variantURL());
  if (!variant) return true;
  for (const auto& [key, value] : variant->contentStackVersion) {
    auto found = installed->contentStackVersion.find(key);
    if (found == installed->contentStackVersion.end() || found->second != value) return true;
  }
  return false;
}

void ContentService::replyDownloadResource(const std::string& requestID, bool success, const std::string& tmpID,
                                           const std::string& localPath) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  awaitingReply_.erase(requestID);
  if (success)
    interface_->send(RPC::Response::make<RPC::Response::Case::contentDownloadResource>(requestID));
  else
    interface_->send(RPC::Response::error(requestID, "Error downloading resource to tmpId: " + tmpID +
                                                        " for path: " + localPath));
}

}  // namespace kestrom

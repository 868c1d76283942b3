// The requests the kit answers itself: settings, content downloads and links, folders, and the
// project and content rows of the dispatcher that need more than one call.

#include "KestromKit/kit/KestromKit.h"
#include "KestromKit/base/PathCheck.h"
#include "KestromKit/server/WebAppRPCConnection.h"
#include "KestromKit/storage/ChosenFolders.h"
#include "KestromKit/storage/ConfigurationHandler.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/ContentHandler.h"
#include "KestromKit/storage/ContentService.h"
#include "KestromKit/storage/ProjectInfoStore.h"
#include "KestromKit/storage/ProjectsHandler.h"
#include "KestromKit/storage/SettingValueStore.h"
#include "KestromKit/storage/SettingsHandler.h"
#include "platform/bookmarks/Bookmarks.h"

namespace kestrom {

namespace fs = std::filesystem;

namespace {

using Case = RPC::Request::Case;
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

}  // namespace

void KestromKit::settingsSave(const std::string& id, const RPCRequestSettingsSaveParams& params) {
  auto before = settingValueStore_->settingString("ui.language");
  auto saved = settingsHandler_->save(params.settings);
  auto after = settingValueStore_->settingString("ui.language");
  if (before != after)
    if (auto delegate = delegate_.lock()) delegate->languageChanged();
  // A save that did not reach the disk is not reported as done: the store keeps what it had and
  // the page hears why.
  if (!saved) {
    send(RPC::Response::error(id, "Unable to save settings: " + saved.error()));
    return;
  }
  send(RPC::Response::make<ResponseCase::settingsSave>(id));
}

void KestromKit::contentDownloadResource(const std::string& id, const RPCRequestContentDownloadResourceParams& params) {
  if (!isDownloadURL(params.remoteURL)) {
    send(RPC::Response::error(id, "contentDownloadResource: Invalid URL: " + params.remoteURL));
    return;
  }
  if (!checkPathComponent(params.tmpID) || !checkRelativePath(params.localPath)) {
    send(RPC::Response::error(id, "Error downloading resource to tmpId: " + params.tmpID + " for path: " +
                                      params.localPath));
    return;
  }
  contentService_->addDownloadingInterface(id, rpcConnection_);
  std::weak_ptr<ContentService> service = contentService_;
  contentHandler_->downloadResource(params.remoteURL, params.localPath, params.tmpID,
                                    [service, id, tmpID = params.tmpID, localPath = params.localPath](bool ok) {
                                      if (auto strong = service.lock()) strong->downloadFinished(id, ok, tmpID, localPath);
                                    });
}

void KestromKit::contentConfirmDownloadResource(const std::string& id,
                                                const RPCRequestContentConfirmDownloadResourceParams& params) {
  auto tmpID = checkPathComponent(params.tmpID);
  if (!tmpID) {
    send(RPC::Response::error(id, "Error syncing download using tmpId: " + params.tmpID + " - message: invalid tmpId"));
    return;
  }
  auto from = contentHandler_->contentURL({*tmpID});
  auto moved = contentHandler_->moveIntoPlace(from, contentHandler_->contentURL({}));
  if (!moved) {
    send(RPC::Response::error(id, "Error syncing download using tmpId: " + params.tmpID + " - message: " + moved.error()));
    return;
  }
  send(RPC::Response::make<ResponseCase::contentConfirmDownloadResource>(id));
  std::error_code error;
  fs::remove_all(from, error);
}

void KestromKit::contentOpenExternalLink(const std::string& id, const RPCRequestContentOpenExternalLinkParams& params) {
  if (!isOpenableLink(params.link)) {
    send(RPC::Response::error(id, "contentOpenExternalLink: Invalid URL: " + params.link));
    return;
  }
  launcher_->open(params.link, [interface = rpcConnection_, id](bool) {
    interface->send(RPC::Response::make<ResponseCase::contentOpenExternalLink>(id));
  });
}

void KestromKit::deviceSelectFolder(const std::string& id, const RPCRequestDeviceSelectFolderParams& params) {
  const auto& home = Constants::path().macOS.home;
  fs::path folder = home;
  if (params.initialFolder) {
    switch (*params.initialFolder) {
      case DeviceSystemFolder::desktop: folder = home / "Desktop"; break;
      case DeviceSystemFolder::documents: folder = home / "Documents"; break;
      case DeviceSystemFolder::home: break;
      case DeviceSystemFolder::sandboxDocuments: folder = Constants::documentsFolder(); break;
    }
  }
  auto reply = [interface = rpcConnection_, id](std::optional<fs::path> chosen) {
    RPCResponseDeviceSelectFolderParams result;
    if (chosen) result.path = IHostPath{bookmarks::makeBookmark(*chosen), Constants::tildePath(*chosen)};
    if (chosen) ChosenFolders::shared().add(*chosen);
    interface->send(RPC::Response::make<ResponseCase::deviceSelectFolder>(id, std::move(result)));
  };
  if (params.initialPath) {
    auto relative = checkRelativePath(*params.initialPath, {.allowLeadingSlash = false});
    if (!relative) {
      reply(std::nullopt);
      return;
    }
    folder /= *relative;
  }
  if (params.interactive) {
    auto delegate = delegate_.lock();
    if (!delegate) {
      reply(std::nullopt);
      return;
    }
    delegate->presentDialog({KestromDialogType::SelectFolder{folder}}, [reply](DialogResult result) {
      reply(result ? std::optional<fs::path>(*result) : std::nullopt);
    });
    return;
  }
  std::error_code error;
  fs::create_directories(folder, error);
  reply(folder);
}

void KestromKit::projectsChangeProjectFolder(const std::string& id,
                                             const RPCRequestProjectsChangeProjectFolderParams& params) {
  changeProjectFolder(params.path.metadata, params.migrateProjects, [this, id] {
    send(RPC::Response::make<ResponseCase::projectsChangeProjectFolder>(id));
  });
}

void KestromKit::dispatchContent(const RPC::Request& request) {
  const std::string& id = request.id();
  switch (request.kind()) {
    case Case::contentDownloadResource:
      contentDownloadResource(id, request.params<RPCRequestContentDownloadResourceParams>());
      return;
    case Case::contentWriteTmpResource:
    case Case::contentWriteResource: {
      std::string localPath, resource;
      std::optional<std::string> tmpID;
      if (request.kind() == Case::contentWriteTmpResource) {
        const auto& p = request.params<RPCRequestContentWriteTmpResourceParams>();
        localPath = p.localPath, resource = p.resource, tmpID = p.tmpID;
      } else {
        const auto& p = request.params<RPCRequestContentWriteResourceParams>();
        localPath = p.localPath, resource = p.resource;
      }
      auto kind = RPC::responseCase(request.kind());
      contentHandler_->writeResource(std::move(localPath), std::move(resource), std::move(tmpID),
                                     [interface = rpcConnection_, id, kind](Expected<void, std::string> written) {
                                       if (written)
                                         interface->send(RPC::Response::emptyResult(kind, id));
                                       else
                                         interface->send(RPC::Response::error(id, "Error writing resource: " + written.error()));
                                     });
      return;
    }
    case Case::contentConfirmDownloadResource:
      contentConfirmDownloadResource(id, request.params<RPCRequestContentConfirmDownloadResourceParams>());
      return;
    case Case::contentCancelDownloadResources: {
      const auto& tmpID = request.params<RPCRequestContentCancelDownloadResourcesParams>().tmpID;
      contentService_->queue()->sync([&] { contentHandler_->removeQueuedDownload(tmpID); });
      send(RPC::Response::make<ResponseCase::contentCancelDownloadResources>(id));
      return;
    }
    case Case::contentCleanTemp: {
      const auto& tmpID = request.params<RPCRequestContentCleanTempParams>().tmpID;
      auto cleaned = contentHandler_->cleanTemp(tmpID);
      if (!cleaned) {
        Constants::log().general.error("Error cleaning tmpId: %s - message: %s", tmpID, cleaned.error());
        // The page would otherwise wait for this answer forever.
        send(RPC::Response::error(id, "Error cleaning tmpId: " + tmpID + " - message: " + cleaned.error()));
        return;
      }
      send(RPC::Response::make<ResponseCase::contentCleanTemp>(id));
      return;
    }
    case Case::contentRestoreContent:
    case Case::contentDeleteContent: {
      bool restore = request.kind() == Case::contentRestoreContent;
      contentHandler_->restorePrepackedContent([interface = rpcConnection_, id, restore](bool ok) {
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
      return;
    }
    case Case::contentOpenExternalLink:
      contentOpenExternalLink(id, request.params<RPCRequestContentOpenExternalLinkParams>());
      return;
    default:
      return;
  }
}

void KestromKit::dispatchProjects(const RPC::Request& request) {
  const std::string& id = request.id();
  switch (request.kind()) {
    case Case::projectsDelete:
      if (projectsHandler_->deleteProject(request.params<RPCRequestProjectsDeleteParams>().projectID))
        send(RPC::Response::make<ResponseCase::projectsDelete>(id));
      else
        send(RPC::Response::error(id, "Unable to delete project"));
      return;
    case Case::projectsRequestAll:
      send(RPC::Response::make<ResponseCase::projectsRequestAll>(
          id, RPCResponseProjectsRequestAllParams{projectsHandler_->requestAllProjects()}));
      return;
    case Case::projectsRequestInitialProjects: {
      auto ids = projectsHandler_->queue()->syncValue([this] { return projectsHandler_->initialProjects(); });
      send(RPC::Response::make<ResponseCase::projectsRequestInitialProjects>(
          id, RPCResponseProjectsRequestInitialProjectsParams{std::move(ids)}));
      return;
    }
    case Case::projectsMove: {
      auto delegate = delegate_.lock();
      if (!delegate) return;
      auto projectID = request.params<RPCRequestProjectsMoveParams>().projectID;
      delegate->selectMoveDestination([interface = rpcConnection_, handler = projectsHandler_, id, projectID](DialogResult folder) {
        if (!folder) {
          interface->send(RPC::Response::error(id, folder.error()));
          return;
        }
        if (handler->moveProject(projectID, *folder))
          interface->send(RPC::Response::make<ResponseCase::projectsMove>(id));
        else
          interface->send(RPC::Response::error(id, "Unable to move project"));
      });
      return;
    }
    case Case::projectsSaveAs: {
      auto delegate = delegate_.lock();
      if (!delegate) return;
      const auto& projectID = request.params<RPCRequestProjectsSaveAsParams>().projectID;
      auto reference = projectInfoStore_->queue()->syncValue([&] { return projectInfoStore_->reference(projectID); });
      KestromDialogType::Save save;
      if (reference) save.name = reference->name;
      delegate->presentDialog({save}, [interface = rpcConnection_, id](DialogResult chosen) {
        RPCResponseProjectsSaveAsParams result;
        if (chosen) result.filePath = chosen->lexically_normal().string();
        interface->send(RPC::Response::make<ResponseCase::projectsSaveAs>(id, std::move(result)));
      });
      return;
    }
    case Case::projectsShowOpenDialog:
      if (auto delegate = delegate_.lock()) {
        delegate->presentDialog({KestromDialogType::Open{}}, [handler = projectsHandler_](DialogResult chosen) {
          if (chosen) (void)handler->openProjectURL(*chosen);
        });
      }
      send(RPC::Response::make<ResponseCase::projectsShowOpenDialog>(id));
      return;
    case Case::projectsChangeProjectFolder:
      projectsChangeProjectFolder(id, request.params<RPCRequestProjectsChangeProjectFolderParams>());
      return;
    case Case::projectsShare:
      ProjectService::share(id, request.params<RPCRequestProjectsShareParams>().projectID, *rpcConnection_,
                            *projectInfoStore_, delegate_);
      return;
    default:
      return;
  }
}

}  // namespace kestrom

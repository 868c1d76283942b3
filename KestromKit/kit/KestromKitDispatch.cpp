// The kit as the WebSocket server's delegate, and the request dispatcher: a table with one row per
// method, handing the request's id and params to the service that owns the method's state.

#include "KestromKit/base/Constants.h"
#include "KestromKit/host/AudioService.h"
#include "KestromKit/host/GamepadSubscriptions.h"
#include "KestromKit/hubs/FirmwareUpdateWindow.h"
#include "KestromKit/hubs/HubService.h"
#include "KestromKit/kit/KestromKit.h"
#include "KestromKit/kit/ShellService.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/server/WebAppRPCConnection.h"
#include "KestromKit/storage/ConfigurationHandler.h"
#include "KestromKit/storage/ConfigurationService.h"
#include "KestromKit/storage/ContentService.h"
#include "KestromKit/storage/ProjectsHandler.h"
#include "KestromKit/storage/SettingsHandler.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/log/Fatal.h"

namespace kestrom {

namespace {

using Case = RPC::Request::Case;
using Row = std::pair<Case, KestromKit::DispatchHandler>;

/// A row of the dispatch table: `handler(id, params)` receives the request's id and its payload as
/// the record the method carries (ParamsOf<C>).
template <Case C, class Handler>
Row row(Handler handler) {
  return {C, [handler = std::move(handler)](RPC::Request request) {
            const std::string id = request.id();
            handler(id, std::move(request).template params<RPC::ParamsOf<C>>());
          }};
}

/// A row for a method that is answered with {} and nothing else.
template <Case C>
Row acknowledge(std::shared_ptr<RPCInterface> interface) {
  return row<C>([interface](const std::string& id, auto&&) {
    interface->send(RPC::Response::emptyResult(RPC::responseCase(C), id));
  });
}

/// A row for a method the host has nothing to do for: logged, then answered with {}.
template <Case C>
Row ignore(std::shared_ptr<RPCInterface> interface) {
  return row<C>([interface](const std::string& id, auto&&) {
    Constants::log().webSocket.debug("Received, but ignoring: %s", RPC::toString(C));
    interface->send(RPC::Response::emptyResult(RPC::responseCase(C), id));
  });
}

}  // namespace

void KestromKit::buildDispatchTable() {
  auto rpc = std::shared_ptr<RPCInterface>(rpcConnection_);
  auto hubs = hubService_;
  auto firmware = firmwareWindow_;
  auto audio = audioService_;
  auto content = contentService_;
  auto projects = projectsHandler_;
  auto settings = settingsHandler_;
  auto configuration = configurationService_;
  auto shell = shellService_;
  auto webView = webViewController_;
  auto gamepads = gamepadSubscriptions_;

  const Row rows[] = {
      // Hubs
      row<Case::hubSend>([hubs](auto& id, auto&& p) { hubs->send(id, p); }),
      row<Case::hubStartScan>([hubs](auto& id, auto&& p) { hubs->startScan(id, p); }),
      row<Case::hubStopScan>([hubs](auto& id, auto&& p) { hubs->stopScan(id, p); }),
      row<Case::hubGetConnections>([hubs](auto& id, auto&&) { hubs->getConnections(id); }),
      row<Case::hubConnect>([hubs](auto& id, auto&& p) { hubs->connect(id, p); }),
      row<Case::hubDisconnect>([hubs](auto& id, auto&& p) { hubs->disconnect(id, p); }),
      row<Case::hubFirmwareUpdating>([firmware](auto& id, auto&& p) { firmware->updating(id, p); }),
      row<Case::hubConnectionsValidate>([hubs](auto& id, auto&&) { hubs->validateConnections(id); }),
      // Audio
      row<Case::audioStartRecording>([audio](auto& id, auto&&) { audio->startRecording(id); }),
      row<Case::audioStopRecording>([audio](auto& id, auto&&) { audio->stopRecording(id); }),
      row<Case::audioStartReportingLevels>([audio](auto& id, auto&&) { audio->startReportingLevels(id); }),
      row<Case::audioStopReportingLevels>([audio](auto& id, auto&&) { audio->stopReportingLevels(id); }),
      row<Case::audioCheckRecordingPermission>([audio](auto& id, auto&&) { audio->checkRecordingPermission(id); }),
      // Configuration and settings
      row<Case::configurationRequest>([configuration](auto& id, auto&&) { configuration->request(id); }),
      row<Case::settingsSave>([settings](auto& id, auto&& p) { settings->handleSave(id, p); }),
      // Content
      row<Case::contentDownloadResource>([content](auto& id, auto&& p) { content->downloadResource(id, p); }),
      row<Case::contentWriteTmpResource>([content](auto& id, auto&& p) { content->writeTmpResource(id, std::move(p)); }),
      row<Case::contentWriteResource>([content](auto& id, auto&& p) { content->writeResource(id, std::move(p)); }),
      row<Case::contentConfirmDownloadResource>([content](auto& id, auto&& p) { content->confirmDownloadResource(id, p); }),
      row<Case::contentCancelDownloadResources>([content](auto& id, auto&& p) { content->cancelDownloadResources(id, p); }),
      ignore<Case::contentDeleteResource>(rpc),
      row<Case::contentCleanTemp>([content](auto& id, auto&& p) { content->cleanTemp(id, p); }),
      row<Case::contentRestoreContent>([content](auto& id, auto&&) { content->restoreContent(id, true); }),
      row<Case::contentDeleteContent>([content](auto& id, auto&&) { content->restoreContent(id, false); }),
      row<Case::contentOpenExternalLink>([content](auto& id, auto&& p) { content->openExternalLink(id, p); }),
      ignore<Case::contentCodestackResponse>(rpc),
      // Device, menus and the window
      acknowledge<Case::deviceSetOrientation>(rpc),
      row<Case::deviceSelectFolder>([shell](auto& id, auto&& p) { shell->selectFolder(id, p); }),
      row<Case::menuShowProjectItems>([shell](auto& id, auto&&) { shell->setProjectItemsAvailable(id, true); }),
      row<Case::menuHideProjectItems>([shell](auto& id, auto&&) { shell->setProjectItemsAvailable(id, false); }),
      acknowledge<Case::miscPing>(rpc),
      row<Case::requestRating>([shell](auto&, auto&&) { shell->requestRating(); }),
      ignore<Case::moveAppBack>(rpc),
      // Projects
      row<Case::projectsDelete>([projects](auto& id, auto&& p) { projects->handleDelete(id, p); }),
      row<Case::projectsRequestAll>([projects](auto& id, auto&&) { projects->handleList(id); }),
      row<Case::projectsRequestInitialProjects>([projects](auto& id, auto&&) { projects->handleInitialProjects(id); }),
      row<Case::projectsMove>([projects](auto& id, auto&& p) { projects->handleMove(id, p); }),
      row<Case::projectsSaveAs>([projects](auto& id, auto&& p) { projects->handleSaveAs(id, p); }),
      row<Case::projectsShowOpenDialog>([projects](auto& id, auto&&) { projects->handleShowOpenDialog(id); }),
      row<Case::projectsChangeProjectFolder>([projects](auto& id, auto&& p) { projects->handleChangeProjectFolder(id, p); }),
      row<Case::projectsShare>([projects](auto& id, auto&& p) { projects->handleShare(id, p); }),
      // The on-screen keyboard of the text editor (never answered)
      row<Case::enablePythonKeyboard>([webView](auto&, auto&&) { webView->setShouldUsePythonKeyboard(true); }),
      row<Case::disablePythonKeyboard>([webView](auto&, auto&&) { webView->setShouldUsePythonKeyboard(false); }),
      row<Case::pythonTriggerPaste>([webView](auto&, auto&&) { webView->triggerPaste(); }),
      // Game controllers (never answered, except to refuse a rate that is no rate)
      row<Case::gamepadSubscribe>([gamepads](auto& id, auto&& p) { gamepads->subscribe(id, p); }),
  };

  for (auto& [kind, handler] : rows) {
    auto& slot = dispatchTable_.at(static_cast<std::size_t>(kind));
    if (slot) log::fatalError("KestromKit/KestromKitDispatch", "Two dispatch rows for one method.");
    slot = handler;
  }
  for (const auto& handler : dispatchTable_)
    if (!handler) log::fatalError("KestromKit/KestromKitDispatch", "A method has no dispatch row.");
}

void KestromKit::dispatch(RPC::Request request) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  dispatchTable_[static_cast<std::size_t>(request.kind())](std::move(request));
}

void KestromKit::handle(const WSEvent& event) {
  const auto& log = Constants::log().webSocket;
  switch (event.kind) {
    case WSEvent::Kind::started: {
      std::weak_ptr<KestromKit> weak = weak_from_this();
      dispatch::mainQueue()->async([weak, port = event.port] {
        auto self = weak.lock();
        if (!self) return;
        self->webViewController_->setWebSocketPort(port);
        self->webViewController_->boot();
      });
      return;
    }
    case WSEvent::Kind::onOpen:
      // Nothing needs doing when a page connects: it asks for what it wants.
      return;
    case WSEvent::Kind::onMessage: {
      if (rpcConnection_->verbose()) log.debug("Received: %s", event.message);
      auto request = RPC::decodeRequest(event.message);
      if (!request) {
        log.error("Could not decode event: %s", request.error().description());
        return;
      }
      std::weak_ptr<KestromKit> weak = weak_from_this();
      dispatch::mainQueue()->async([weak, request = std::move(*request)]() mutable {
        if (auto self = weak.lock()) self->dispatch(std::move(request));
      });
      return;
    }
    case WSEvent::Kind::onError:
    case WSEvent::Kind::stopped:
    case WSEvent::Kind::onClose:
      log.debug("Received, but ignoring: %s", event.description());
      return;
  }
}

}  // namespace kestrom

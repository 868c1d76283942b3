// The kit as the WebSocket server's delegate, and the request dispatcher: a table with one row per
// method, binding it to the typed handler of the service that owns the method's state.

#include <chrono>

#include "KestromKit/base/Constants.h"
#include "KestromKit/host/AudioService.h"
#include "KestromKit/hubs/FirmwareUpdateWindow.h"
#include "KestromKit/host/GamepadService.h"
#include "KestromKit/hubs/HubService.h"
#include "KestromKit/kit/KestromKit.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/server/WebAppRPCConnection.h"
#include "KestromKit/storage/ConfigurationHandler.h"
#include "KestromKit/storage/ContentService.h"
#include "KestromKit/storage/ProjectsHandler.h"
#include "KestromKit/storage/SettingsHandler.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/gamepads/SDLGamepads.h"
#include "platform/log/Fatal.h"

namespace kestrom {

namespace {

using Case = RPC::Request::Case;
using ResponseCase = RPC::Response::Case;
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
  auto audio = audioService_;
  auto content = contentService_;
  auto projects = projectsHandler_;
  auto settings = settingsHandler_;
  auto configuration = configurationHandler_;
  auto webView = webViewController_;
  std::weak_ptr<KestromKit> weak = weak_from_this();

  const Row rows[] = {
      // Hubs
      row<Case::hubSend>([hubs, rpc](auto& id, auto&& p) { hubs->send(id, p, *rpc); }),
      row<Case::hubStartScan>([hubs](auto& id, auto&& p) { hubs->startScan(id, p); }),
      row<Case::hubStopScan>([hubs](auto& id, auto&& p) { hubs->stopScan(id, p); }),
      row<Case::hubGetConnections>([hubs, rpc](auto& id, auto&&) {
        rpc->send(RPC::Response::make<ResponseCase::hubGetConnections>(
            id, RPCResponseHubGetConnectionsParams{hubs->connectedDevices()}));
      }),
      row<Case::hubConnect>([hubs](auto& id, auto&& p) { hubs->connect(id, p); }),
      row<Case::hubDisconnect>([hubs](auto& id, auto&& p) { hubs->disconnect(id, p); }),
      row<Case::hubFirmwareUpdating>([this, rpc](auto& id, auto&& p) {
        idleTime_ = now_() + clampFirmwareUpdateDuration(p.expectedDuration);
        checkFirmwareIdle();
        rpc->send(RPC::Response::make<ResponseCase::hubFirmwareUpdating>(id));
      }),
      row<Case::hubConnectionsValidate>([hubs, rpc](auto& id, auto&&) { hubs->validateConnections(id, *rpc); }),
      // Audio
      row<Case::audioStartRecording>([audio](auto& id, auto&&) { audio->startRecording(id); }),
      row<Case::audioStopRecording>([audio](auto& id, auto&&) { audio->stopRecording(id); }),
      row<Case::audioStartReportingLevels>([audio](auto& id, auto&&) { audio->startReportingLevels(id); }),
      row<Case::audioStopReportingLevels>([audio](auto& id, auto&&) {
        audio->stopAudioEngine();
        audio->interface()->send(RPC::Response::make<ResponseCase::audioStopReportingLevels>(id));
      }),
      row<Case::audioCheckRecordingPermission>([audio](auto& id, auto&&) { audio->checkRecordingPermission(id); }),
      // Configuration and settings
      row<Case::configurationRequest>([configuration, rpc](auto& id, auto&&) {
        configuration->configuration([rpc](Configuration value) {
          ConfigurationService::sendConfigurationChanged(std::move(value), *rpc);
        });
        rpc->send(RPC::Response::make<ResponseCase::configurationRequest>(id));
      }),
      row<Case::settingsSave>([settings, rpc, weak](auto& id, auto&& p) {
        settings->handleSave(id, p, rpc, [weak] {
          auto self = weak.lock();
          if (auto delegate = self ? self->delegate_.lock() : nullptr) delegate->languageChanged();
        });
      }),
      // Content
      row<Case::contentDownloadResource>([content, rpc](auto& id, auto&& p) { content->downloadResource(id, p, rpc); }),
      row<Case::contentWriteTmpResource>(
          [content, rpc](auto& id, auto&& p) { content->writeTmpResource(id, std::move(p), rpc); }),
      row<Case::contentWriteResource>([content, rpc](auto& id, auto&& p) { content->writeResource(id, std::move(p), rpc); }),
      row<Case::contentConfirmDownloadResource>(
          [content, rpc](auto& id, auto&& p) { content->confirmDownloadResource(id, p, *rpc); }),
      row<Case::contentCancelDownloadResources>(
          [content, rpc](auto& id, auto&& p) { content->cancelDownloadResources(id, p, *rpc); }),
      ignore<Case::contentDeleteResource>(rpc),
      row<Case::contentCleanTemp>([content, rpc](auto& id, auto&& p) { content->cleanTemp(id, p, rpc); }),
      row<Case::contentRestoreContent>([content, rpc](auto& id, auto&&) { content->restoreContent(id, true, rpc); }),
      row<Case::contentDeleteContent>([content, rpc](auto& id, auto&&) { content->restoreContent(id, false, rpc); }),
      row<Case::contentOpenExternalLink>([content, rpc](auto& id, auto&& p) { content->openExternalLink(id, p, rpc); }),
      ignore<Case::contentCodestackResponse>(rpc),
      // Device, menus and the window
      acknowledge<Case::deviceSetOrientation>(rpc),
      row<Case::deviceSelectFolder>([this](auto& id, auto&& p) { deviceSelectFolder(id, p); }),
      row<Case::menuShowProjectItems>([this, rpc](auto& id, auto&&) {
        if (auto delegate = delegate_.lock()) delegate->setProjectAvailable(true);
        rpc->send(RPC::Response::make<ResponseCase::menuShowProjectItems>(id));
      }),
      row<Case::menuHideProjectItems>([this, rpc](auto& id, auto&&) {
        if (auto delegate = delegate_.lock()) delegate->setProjectAvailable(false);
        rpc->send(RPC::Response::make<ResponseCase::menuHideProjectItems>(id));
      }),
      acknowledge<Case::miscPing>(rpc),
      row<Case::requestRating>([](auto&, auto&&) {
        // There is no store to ask for a rating on Linux; like the store's own request, no reply.
        Constants::log().general.info("A rating was requested; this desktop has no store to ask");
      }),
      ignore<Case::moveAppBack>(rpc),
      // Projects
      row<Case::projectsDelete>([projects](auto& id, auto&& p) { projects->handleDelete(id, p); }),
      row<Case::projectsRequestAll>([projects](auto& id, auto&&) { projects->handleList(id); }),
      row<Case::projectsRequestInitialProjects>([projects](auto& id, auto&&) { projects->handleInitialProjects(id); }),
      row<Case::projectsMove>([projects](auto& id, auto&& p) { projects->handleMove(id, p); }),
      row<Case::projectsSaveAs>([projects](auto& id, auto&& p) { projects->handleSaveAs(id, p); }),
      row<Case::projectsShowOpenDialog>([projects](auto& id, auto&&) { projects->handleShowOpenDialog(id); }),
      row<Case::projectsChangeProjectFolder>(
          [projects](auto& id, auto&& p) { projects->handleChangeProjectFolder(id, p); }),
      row<Case::projectsShare>([projects](auto& id, auto&& p) { projects->handleShare(id, p); }),
      // The on-screen keyboard of the text editor (never answered)
      row<Case::enablePythonKeyboard>([webView](auto&, auto&&) { webView->setShouldUsePythonKeyboard(true); }),
      row<Case::disablePythonKeyboard>([webView](auto&, auto&&) { webView->setShouldUsePythonKeyboard(false); }),
      row<Case::pythonTriggerPaste>([webView](auto&, auto&&) { webView->triggerPaste(); }),
      // Game controllers (never answered, except to refuse a rate that is no rate)
      row<Case::gamepadSubscribe>([this, rpc](auto& id, auto&& p) {
        if (!gamepads_) gamepads_ = std::make_shared<gamepads::SDLGamepads>(dispatch::mainQueue());
        auto service = GamepadService::make(rpc, gamepads_, p.targetHz);
        if (!service) {
          rpc->send(RPC::Response::error(id, service.error()));
          return;
        }
        gamepadService_ = std::move(*service);  // the previous service stops its timer as it goes
      }),
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
      rpcConnection_->setSocket(event.from);
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

void KestromKit::checkFirmwareIdle() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  idleTimeTask_.cancel();
  if (!idleTime_ || *idleTime_ < now_()) {
    idleTime_.reset();
    return;
  }
  std::weak_ptr<KestromKit> weak = weak_from_this();
  idleTimeTask_ = dispatch::mainQueue()->asyncAfter(std::chrono::seconds(1), [weak] {
    if (auto self = weak.lock()) self->checkFirmwareIdle();
  });
}

}  // namespace kestrom

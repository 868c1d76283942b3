// The kit as the WebSocket server's delegate, and the request dispatcher: one row per method.

#include <chrono>

#include "KestromKit/kit/KestromKit.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/server/WebAppRPCConnection.h"
#include "KestromKit/host/AudioService.h"
#include "KestromKit/hubs/FirmwareUpdateWindow.h"
#include "KestromKit/hubs/HubService.h"
#include "KestromKit/storage/ConfigurationHandler.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/ContentHandler.h"
#include "KestromKit/storage/ContentService.h"
#include "KestromKit/storage/ProjectInfoStore.h"
#include "KestromKit/storage/ProjectsHandler.h"

namespace kestrom {

namespace {

using Case = RPC::Request::Case;
using ResponseCase = RPC::Response::Case;

}  // namespace

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
      dispatch::mainQueue()->async([weak, request = std::move(*request)] {
        if (auto self = weak.lock()) self->dispatch(request);
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

void KestromKit::dispatch(const RPC::Request& request) {
  const std::string& id = request.id();
  auto empty = [&] { send(RPC::Response::emptyResult(RPC::responseCase(request.kind()), id)); };
  auto ignore = [&](const char* name) {
    Constants::log().webSocket.debug("Received, but ignoring: %s", name);
    empty();
  };
  switch (request.kind()) {
    case Case::hubSend:
      hubService_->send(id, request.params<RPCRequestHubSendParams>(), *rpcConnection_);
      return;
    case Case::hubStartScan:
      hubService_->startScan(id, request.params<RPCRequestHubStartScanParams>());
      return;
    case Case::hubStopScan:
      hubService_->stopScan(id, request.params<RPCRequestHubStopScanParams>());
      return;
    case Case::hubGetConnections:
      send(RPC::Response::make<ResponseCase::hubGetConnections>(
          id, RPCResponseHubGetConnectionsParams{hubService_->connectedDevices()}));
      return;
    case Case::hubConnect:
      hubService_->connect(id, request.params<RPCRequestHubConnectParams>());
      return;
    case Case::hubDisconnect:
      hubService_->disconnect(id, request.params<RPCRequestHubDisconnectParams>());
      return;
    case Case::hubFirmwareUpdating:
      idleTime_ = now_() + clampFirmwareUpdateDuration(request.params<RPCRequestHubFirmwareUpdatingParams>().expectedDuration);
      checkFirmwareIdle();
      empty();
      return;
    case Case::hubConnectionsValidate:
      hubService_->validateConnections(id, *rpcConnection_);
      return;
    case Case::audioStartRecording:
      audioService_->startRecording(id);
      return;
    case Case::audioStopRecording:
      audioService_->stopRecording(id);
      return;
    case Case::audioStartReportingLevels:
      audioService_->startReportingLevels(id);
      return;
    case Case::audioStopReportingLevels:
      audioService_->stopAudioEngine();
      audioService_->interface()->send(RPC::Response::make<ResponseCase::audioStopReportingLevels>(id));
      return;
    case Case::audioCheckRecordingPermission:
      audioService_->checkRecordingPermission(id);
      return;
    case Case::configurationRequest:
      configurationHandler_->configuration([this](Configuration configuration) {
        ConfigurationService::sendConfigurationChanged(std::move(configuration), *rpcConnection_);
      });
      empty();
      return;
    case Case::contentDeleteResource:
      ignore("contentDeleteResource");
      return;
    case Case::contentCodestackResponse:
      ignore("contentCodestackResponse");
      return;
    case Case::contentDownloadResource:
    case Case::contentWriteTmpResource:
    case Case::contentWriteResource:
    case Case::contentConfirmDownloadResource:
    case Case::contentCancelDownloadResources:
    case Case::contentCleanTemp:
    case Case::contentRestoreContent:
    case Case::contentDeleteContent:
    case Case::contentOpenExternalLink:
      dispatchContent(request);
      return;
    case Case::deviceSetOrientation:
    case Case::miscPing:
      empty();
      return;
    case Case::deviceSelectFolder:
      deviceSelectFolder(id, request.params<RPCRequestDeviceSelectFolderParams>());
      return;
    case Case::menuShowProjectItems:
    case Case::menuHideProjectItems:
      if (auto delegate = delegate_.lock()) delegate->setProjectAvailable(request.kind() == Case::menuShowProjectItems);
      empty();
      return;
    case Case::requestRating:
      // There is no store to ask for a rating on Linux; like the store's own request, no reply.
      Constants::log().general.info("A rating was requested; this desktop has no store to ask");
      return;
    case Case::moveAppBack:
      ignore("moveAppBack");
      return;
    case Case::projectsDelete:
    case Case::projectsRequestAll:
    case Case::projectsRequestInitialProjects:
    case Case::projectsMove:
    case Case::projectsSaveAs:
    case Case::projectsShowOpenDialog:
    case Case::projectsChangeProjectFolder:
    case Case::projectsShare:
      dispatchProjects(request);
      return;
    case Case::enablePythonKeyboard:
    case Case::disablePythonKeyboard:
      webViewController_->setShouldUsePythonKeyboard(request.kind() == Case::enablePythonKeyboard);
      return;
    case Case::pythonTriggerPaste:
      webViewController_->triggerPaste();
      return;
    case Case::settingsSave:
      settingsSave(id, request.params<RPCRequestSettingsSaveParams>());
      return;
    case Case::gamepadSubscribe:
      gamepadService_ = std::make_shared<GamepadService>(rpcConnection_,
                                                         request.params<RPCRequestGamepadSubscribeParams>().targetHz);
      return;
  }
}

void KestromKit::checkFirmwareIdle() {
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

#pragma once
// The whole request vocabulary in one record: one field per method, keyed by the method string,
// holding that method's payload. It documents which payload each method carries and lets tests
// check the method and record tables against each other; no message carries it.

#include <tuple>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"
#include "KestromKit/model/RequestRecords.h"

namespace kestrom {

/// Fields in byte order of their method strings, so the three names without a leading slash come
/// last.
struct IClientAPIRequestParams {
  JSONObject audioCheckrecordingpermission;
  JSONObject audioStartrecording;
  JSONObject audioStartreportinglevels;
  JSONObject audioStoprecording;
  JSONObject audioStopreportinglevels;
  JSONObject configurationRequest;
  RPCRequestContentCancelDownloadResourcesParams contentCancelsdownloadresources;
  RPCRequestContentCleanTempParams contentCleantemp;
  RPCRequestContentCodestackResponseParams contentCodestackresponse;
  RPCRequestContentConfirmDownloadResourceParams contentConfirmdownloadresource;
  JSONObject contentDeletecontent;
  RPCRequestContentDeleteResourceParams contentDeleteresource;
  RPCRequestContentDownloadResourceParams contentDownloadresource;
  RPCRequestContentOpenExternalLinkParams contentOpenlink;
  JSONObject contentRestorecontent;
  RPCRequestContentWriteResourceParams contentWriteresource;
  RPCRequestContentWriteTmpResourceParams contentWritetmpresource;
  RPCRequestHubConnectParams hubConnect;
  JSONObject hubConnections;
  JSONObject hubConnectionsValidate;
  RPCRequestHubDisconnectParams hubDisconnect;
  RPCRequestHubSendParams hubSend;
  RPCRequestHubStartScanParams hubStartscan;
  RPCRequestHubStopScanParams hubStopscan;
  RPCRequestHubFirmwareUpdatingParams hubUpdatingFirmware;
  JSONObject menuHideProjectItems;
  JSONObject menuShowProjectItems;
  JSONObject miscMoveAppBack;
  JSONObject miscRequestrating;
  JSONObject ping;
  RPCRequestProjectsChangeProjectFolderParams projectsChangeProjectFolder;
  RPCRequestProjectsDeleteParams projectsDelete;
  JSONObject projectsInitialprojects;
  JSONObject projectsList;
  RPCRequestProjectsMoveParams projectsMove;
  RPCRequestProjectsSaveAsParams projectsSaveAs;
  RPCRequestProjectsShareParams projectsShare;
  JSONObject projectsShowOpenDialog;
  JSONObject pythonDisablepythonkeyboard;
  JSONObject pythonEnablepythonkeyboard;
  JSONObject pythonTriggerpaste;
  RPCRequestSettingsSaveParams settingsSave;
  RPCRequestDeviceSelectFolderParams deviceSelectFolder;
  RPCRequestDeviceSetOrientationParams deviceSetorientation;
  RPCRequestGamepadSubscribeParams gamepadSubscribe;

  static constexpr auto codingFields() {
    using S = IClientAPIRequestParams;
    return std::tuple{
        field("/audio/checkrecordingpermission", &S::audioCheckrecordingpermission),
        field("/audio/startrecording", &S::audioStartrecording),
        field("/audio/startreportinglevels", &S::audioStartreportinglevels),
        field("/audio/stoprecording", &S::audioStoprecording),
        field("/audio/stopreportinglevels", &S::audioStopreportinglevels),
        field("/configuration/request", &S::configurationRequest),
        field("/content/cancelsdownloadresources", &S::contentCancelsdownloadresources),
        field("/content/cleantemp", &S::contentCleantemp),
        field("/content/codestackresponse", &S::contentCodestackresponse),
        field("/content/confirmdownloadresource", &S::contentConfirmdownloadresource),
        field("/content/deletecontent", &S::contentDeletecontent),
        field("/content/deleteresource", &S::contentDeleteresource),
        field("/content/downloadresource", &S::contentDownloadresource),
        field("/content/openlink", &S::contentOpenlink),
        field("/content/restorecontent", &S::contentRestorecontent),
        field("/content/writeresource", &S::contentWriteresource),
        field("/content/writetmpresource", &S::contentWritetmpresource),
        field("/hub/connect", &S::hubConnect),
        field("/hub/connections", &S::hubConnections),
        field("/hub/connections/validate", &S::hubConnectionsValidate),
        field("/hub/disconnect", &S::hubDisconnect),
        field("/hub/send", &S::hubSend),
        field("/hub/startscan", &S::hubStartscan),
        field("/hub/stopscan", &S::hubStopscan),
        field("/hub/updatingFirmware", &S::hubUpdatingFirmware),
        field("/menu/hideProjectItems", &S::menuHideProjectItems),
        field("/menu/showProjectItems", &S::menuShowProjectItems),
        field("/misc/moveAppBack", &S::miscMoveAppBack),
        field("/misc/requestrating", &S::miscRequestrating),
        field("/ping", &S::ping),
        field("/projects/changeProjectFolder", &S::projectsChangeProjectFolder),
        field("/projects/delete", &S::projectsDelete),
        field("/projects/initialprojects", &S::projectsInitialprojects),
        field("/projects/list", &S::projectsList),
        field("/projects/move", &S::projectsMove),
        field("/projects/saveAs", &S::projectsSaveAs),
        field("/projects/share", &S::projectsShare),
        field("/projects/showOpenDialog", &S::projectsShowOpenDialog),
        field("/python/disablepythonkeyboard", &S::pythonDisablepythonkeyboard),
        field("/python/enablepythonkeyboard", &S::pythonEnablepythonkeyboard),
        field("/python/triggerpaste", &S::pythonTriggerpaste),
        field("/settings/save", &S::settingsSave),
        field("device/selectFolder", &S::deviceSelectFolder),
        field("device/setorientation", &S::deviceSetorientation),
        field("gamepad/subscribe", &S::gamepadSubscribe)};
  }
};

}  // namespace kestrom

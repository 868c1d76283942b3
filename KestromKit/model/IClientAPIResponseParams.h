#pragma once
// The whole reply vocabulary in one record: one field per request method, keyed by the method
// string, holding the result that method's reply carries. It documents the reply shapes and lets
// tests check the method and record tables against each other; no message carries it.

#include <tuple>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"
#include "KestromKit/model/ResponseRecords.h"

namespace kestrom {

/// Fields in byte order of their method strings, so the three names without a leading slash come
/// last.
struct IClientAPIResponseParams {
  RPCResponseAudioCheckRecordingPermissionParams audioCheckrecordingpermission;
  JSONObject audioStartrecording;
  JSONObject audioStartreportinglevels;
  RPCResponseAudioStopRecordingParams audioStoprecording;
  JSONObject audioStopreportinglevels;
  JSONObject configurationRequest;
  JSONObject contentCancelsdownloadresources;
  JSONObject contentCleantemp;
  JSONObject contentCodestackresponse;
  JSONObject contentConfirmdownloadresource;
  JSONObject contentDeletecontent;
  JSONObject contentDeleteresource;
  JSONObject contentDownloadresource;
  JSONObject contentOpenlink;
  JSONObject contentRestorecontent;
  JSONObject contentWriteresource;
  JSONObject contentWritetmpresource;
  JSONObject hubConnect;
  RPCResponseHubGetConnectionsParams hubConnections;
  JSONObject hubConnectionsValidate;
  JSONObject hubDisconnect;
  JSONObject hubSend;
  JSONObject hubStartscan;
  JSONObject hubStopscan;
  JSONObject hubUpdatingFirmware;
  JSONObject menuHideProjectItems;
  JSONObject menuShowProjectItems;
  JSONObject miscMoveAppBack;
  JSONObject miscRequestrating;
  JSONObject ping;
  JSONObject projectsChangeProjectFolder;
  JSONObject projectsDelete;
  RPCResponseProjectsRequestInitialProjectsParams projectsInitialprojects;
  RPCResponseProjectsRequestAllParams projectsList;
  JSONObject projectsMove;
  RPCResponseProjectsSaveAsParams projectsSaveAs;
  JSONObject projectsShare;
  JSONObject projectsShowOpenDialog;
  JSONObject pythonDisablepythonkeyboard;
  JSONObject pythonEnablepythonkeyboard;
  JSONObject pythonTriggerpaste;
  JSONObject settingsSave;
  RPCResponseDeviceSelectFolderParams deviceSelectFolder;
  JSONObject deviceSetorientation;
  JSONObject gamepadSubscribe;

  friend bool operator==(const IClientAPIResponseParams&, const IClientAPIResponseParams&) = default;
  static constexpr auto codingFields() {
    using S = IClientAPIResponseParams;
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

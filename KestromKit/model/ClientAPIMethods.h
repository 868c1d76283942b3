#pragma once
// The one list of the page channel's methods: every request the page may send and every
// notification the host may push. The method enumerations, their texts, the decoding and
// reply tables and the whole-vocabulary records are all expanded from these two lists, so a
// method is added or renamed in one place. The kit's dispatch table (KestromKit/kit/
// KestromKitDispatch.cpp) is written by hand, one row per request; each row takes the params
// record named here, and the kit stops at start-up when a request has no row or two.
//
// A request row is X(method, rpcCase, "text", RequestParams, ResponseResult):
//   method          the ClientAPIRequest case (named after the text);
//   rpcCase         the RPC::Request and RPC::Response case (named after what the method does);
//   "text"          the envelope's "method" member, byte for byte;
//   RequestParams   the record "params"."values" decodes into (JSONObject: a free object);
//   ResponseResult  the record the reply's "result" carries (JSONObject: a free object).
// A notification row is X(method, rpcCase, "text", Params, Payload): Params is the record the
// page reads, Payload what the host builds it from (the same record, except that
// "/configuration/changed" is built from the kit's Configuration).
//
// Rows are in the order of the RPC cases; the enumerations follow it.

#define KESTROM_CLIENT_API_REQUESTS(X) \
  X(hubSend, hubSend, "/hub/send", RPCRequestHubSendParams, JSONObject) \
  X(hubStartscan, hubStartScan, "/hub/startscan", RPCRequestHubStartScanParams, JSONObject) \
  X(hubStopscan, hubStopScan, "/hub/stopscan", RPCRequestHubStopScanParams, JSONObject) \
  X(hubConnections, hubGetConnections, "/hub/connections", JSONObject, RPCResponseHubGetConnectionsParams) \
  X(hubConnect, hubConnect, "/hub/connect", RPCRequestHubConnectParams, JSONObject) \
  X(hubDisconnect, hubDisconnect, "/hub/disconnect", RPCRequestHubDisconnectParams, JSONObject) \
  X(hubUpdatingFirmware, hubFirmwareUpdating, "/hub/updatingFirmware", RPCRequestHubFirmwareUpdatingParams, JSONObject) \
  X(hubConnectionsValidate, hubConnectionsValidate, "/hub/connections/validate", JSONObject, JSONObject) \
  X(audioStartrecording, audioStartRecording, "/audio/startrecording", JSONObject, JSONObject) \
  X(audioStoprecording, audioStopRecording, "/audio/stoprecording", JSONObject, RPCResponseAudioStopRecordingParams) \
  X(audioStartreportinglevels, audioStartReportingLevels, "/audio/startreportinglevels", JSONObject, JSONObject) \
  X(audioStopreportinglevels, audioStopReportingLevels, "/audio/stopreportinglevels", JSONObject, JSONObject) \
  X(audioCheckrecordingpermission, audioCheckRecordingPermission, "/audio/checkrecordingpermission", JSONObject, RPCResponseAudioCheckRecordingPermissionParams) \
  X(configurationRequest, configurationRequest, "/configuration/request", JSONObject, JSONObject) \
  X(contentDownloadresource, contentDownloadResource, "/content/downloadresource", RPCRequestContentDownloadResourceParams, JSONObject) \
  X(contentWritetmpresource, contentWriteTmpResource, "/content/writetmpresource", RPCRequestContentWriteTmpResourceParams, JSONObject) \
  X(contentWriteresource, contentWriteResource, "/content/writeresource", RPCRequestContentWriteResourceParams, JSONObject) \
  X(contentConfirmdownloadresource, contentConfirmDownloadResource, "/content/confirmdownloadresource", RPCRequestContentConfirmDownloadResourceParams, JSONObject) \
  X(contentCancelsdownloadresources, contentCancelDownloadResources, "/content/cancelsdownloadresources", RPCRequestContentCancelDownloadResourcesParams, JSONObject) \
  X(contentDeleteresource, contentDeleteResource, "/content/deleteresource", RPCRequestContentDeleteResourceParams, JSONObject) \
  X(contentCleantemp, contentCleanTemp, "/content/cleantemp", RPCRequestContentCleanTempParams, JSONObject) \
  X(contentRestorecontent, contentRestoreContent, "/content/restorecontent", JSONObject, JSONObject) \
  X(contentDeletecontent, contentDeleteContent, "/content/deletecontent", JSONObject, JSONObject) \
  X(contentOpenlink, contentOpenExternalLink, "/content/openlink", RPCRequestContentOpenExternalLinkParams, JSONObject) \
  X(contentCodestackresponse, contentCodestackResponse, "/content/codestackresponse", RPCRequestContentCodestackResponseParams, JSONObject) \
  X(deviceSetorientation, deviceSetOrientation, "device/setorientation", RPCRequestDeviceSetOrientationParams, JSONObject) \
  X(deviceSelectFolder, deviceSelectFolder, "device/selectFolder", RPCRequestDeviceSelectFolderParams, RPCResponseDeviceSelectFolderParams) \
  X(menuShowProjectItems, menuShowProjectItems, "/menu/showProjectItems", JSONObject, JSONObject) \
  X(menuHideProjectItems, menuHideProjectItems, "/menu/hideProjectItems", JSONObject, JSONObject) \
  X(ping, miscPing, "/ping", JSONObject, JSONObject) \
  X(miscRequestrating, requestRating, "/misc/requestrating", JSONObject, JSONObject) \
  X(miscMoveAppBack, moveAppBack, "/misc/moveAppBack", JSONObject, JSONObject) \
  X(projectsDelete, projectsDelete, "/projects/delete", RPCRequestProjectsDeleteParams, JSONObject) \
  X(projectsList, projectsRequestAll, "/projects/list", JSONObject, RPCResponseProjectsRequestAllParams) \
  X(projectsInitialprojects, projectsRequestInitialProjects, "/projects/initialprojects", JSONObject, RPCResponseProjectsRequestInitialProjectsParams) \
  X(projectsMove, projectsMove, "/projects/move", RPCRequestProjectsMoveParams, JSONObject) \
  X(projectsSaveAs, projectsSaveAs, "/projects/saveAs", RPCRequestProjectsSaveAsParams, RPCResponseProjectsSaveAsParams) \
  X(projectsShowOpenDialog, projectsShowOpenDialog, "/projects/showOpenDialog", JSONObject, JSONObject) \
  X(projectsChangeProjectFolder, projectsChangeProjectFolder, "/projects/changeProjectFolder", RPCRequestProjectsChangeProjectFolderParams, JSONObject) \
  X(projectsShare, projectsShare, "/projects/share", RPCRequestProjectsShareParams, JSONObject) \
  X(pythonEnablepythonkeyboard, enablePythonKeyboard, "/python/enablepythonkeyboard", JSONObject, JSONObject) \
  X(pythonDisablepythonkeyboard, disablePythonKeyboard, "/python/disablepythonkeyboard", JSONObject, JSONObject) \
  X(pythonTriggerpaste, pythonTriggerPaste, "/python/triggerpaste", JSONObject, JSONObject) \
  X(settingsSave, settingsSave, "/settings/save", RPCRequestSettingsSaveParams, JSONObject) \
  X(gamepadSubscribe, gamepadSubscribe, "gamepad/subscribe", RPCRequestGamepadSubscribeParams, JSONObject)

#define KESTROM_CLIENT_API_NOTIFICATIONS(X) \
  X(hubConnected, hubConnected, "/hub/connected", RPCNotifyHubConnectedParams, RPCNotifyHubConnectedParams) \
  X(hubDisconnected, hubDisconnected, "/hub/disconnected", RPCNotifyHubDisconnectedParams, RPCNotifyHubDisconnectedParams) \
  X(hubScanningstopped, hubScanningStopped, "/hub/scanningstopped", RPCNotifyHubScanningStoppedParams, RPCNotifyHubScanningStoppedParams) \
  X(hubDevicefound, hubDeviceFound, "hub/devicefound", RPCNotifyHubDeviceFoundParams, RPCNotifyHubDeviceFoundParams) \
  X(hubDidReceiveMessage, hubDidReceiveMessage, "/hub/didReceiveMessage", RPCNotifyHubDidReceiveMessageParams, RPCNotifyHubDidReceiveMessageParams) \
  X(hubConnectionfailed, hubConnectionFailed, "/hub/connectionfailed", JSONObject, JSONObject) \
  X(hubConnecting, hubConnecting, "/hub/connecting", JSONObject, JSONObject) \
  X(audioLevelupdate, audioLevelUpdate, "/audio/levelupdate", RPCNotifyAudioLevelUpdateParams, RPCNotifyAudioLevelUpdateParams) \
  X(configurationChanged, configurationChanged, "/configuration/changed", RPCNotifyConfigurationChangedParams, Configuration) \
  X(contentContentrestored, contentRestored, "/content/contentrestored", JSONObject, JSONObject) \
  X(contentCodestackrequest, contentCodeStackRequest, "/content/codestackrequest", RPCNotifyContentCodeStackRequestParams, RPCNotifyContentCodeStackRequestParams) \
  X(contentContentdeleted, contentDeleted, "/content/contentdeleted", JSONObject, JSONObject) \
  X(menuItemClicked, menuItemClicked, "/menu/itemClicked", RPCNotifyMenuItemClickedParams, RPCNotifyMenuItemClickedParams) \
  X(menuNavigateHistory, menuNavigateHistory, "/menu/navigateHistory", RPCNotifyMenuNavigateHistoryParams, RPCNotifyMenuNavigateHistoryParams) \
  X(projectsOpennotification, projectsRequestOpen, "/projects/opennotification", RPCNotifyProjectsRequestOpenParams, RPCNotifyProjectsRequestOpenParams) \
  X(projectsMoved, projectMoved, "/projects/moved", JSONObject, JSONObject) \
  X(pythonPresskeyboardbutton, pythonPressKeyboardButton, "/python/presskeyboardbutton", RPCNotifyPythonPressKeyboardButtonParams, RPCNotifyPythonPressKeyboardButtonParams) \
  X(pythonPaste, pythonPaste, "/python/paste", RPCNotifyPythonPasteParams, RPCNotifyPythonPasteParams) \
  X(gamepadConnected, gamepadConnected, "gamepad/connected", RPCNotifyGamepadConnectedParams, RPCNotifyGamepadConnectedParams) \
  X(gamepadSnapshot, gamepadSnapshot, "gamepad/snapshot", RPCNotifyGamepadSnapshotParams, RPCNotifyGamepadSnapshotParams) \
  X(gamepadDisconnected, gamepadDisconnected, "gamepad/disconnected", RPCNotifyGamepadDisconnectedParams, RPCNotifyGamepadDisconnectedParams) \
  X(hostLifecycleBackground, hostLifecycleBackground, "host/lifecycle/background", JSONObject, JSONObject) \
  X(hostLifecycleForeground, hostLifecycleForeground, "host/lifecycle/foreground", JSONObject, JSONObject)

/// The first and second type of a row's trailing columns, for expansions that take `...`.
#define KESTROM_API_FIRST(first, second) first
#define KESTROM_API_SECOND(first, second) second

#pragma once
// The method names of the page channel: the requests the page may send and the notifications the
// host may push. A case's raw value is the exact text of the envelope's "method" member.

#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "KestromKit/model/Coding.h"

namespace kestrom {

/// The 45 request methods, in alphabetical order of their case names.
enum class ClientAPIRequest {
  audioCheckrecordingpermission,
  audioStartrecording,
  audioStartreportinglevels,
  audioStoprecording,
  audioStopreportinglevels,
  configurationRequest,
  contentCancelsdownloadresources,
  contentCleantemp,
  contentCodestackresponse,
  contentConfirmdownloadresource,
  contentDeletecontent,
  contentDeleteresource,
  contentDownloadresource,
  contentOpenlink,
  contentRestorecontent,
  contentWriteresource,
  contentWritetmpresource,
  deviceSelectFolder,
  deviceSetorientation,
  gamepadSubscribe,
  hubConnect,
  hubConnections,
  hubConnectionsValidate,
  hubDisconnect,
  hubSend,
  hubStartscan,
  hubStopscan,
  hubUpdatingFirmware,
  menuHideProjectItems,
  menuShowProjectItems,
  miscMoveAppBack,
  miscRequestrating,
  ping,
  projectsChangeProjectFolder,
  projectsDelete,
  projectsInitialprojects,
  projectsList,
  projectsMove,
  projectsSaveAs,
  projectsShare,
  projectsShowOpenDialog,
  pythonDisablepythonkeyboard,
  pythonEnablepythonkeyboard,
  pythonTriggerpaste,
  settingsSave,
};

/// The 23 notification methods, in alphabetical order of their case names.
enum class ClientAPINotification {
  audioLevelupdate,
  configurationChanged,
  contentCodestackrequest,
  contentContentdeleted,
  contentContentrestored,
  gamepadConnected,
  gamepadDisconnected,
  gamepadSnapshot,
  hostLifecycleBackground,
  hostLifecycleForeground,
  hubConnected,
  hubConnecting,
  hubConnectionfailed,
  hubDevicefound,
  hubDidReceiveMessage,
  hubDisconnected,
  hubScanningstopped,
  menuItemClicked,
  menuNavigateHistory,
  projectsMoved,
  projectsOpennotification,
  pythonPaste,
  pythonPresskeyboardbutton,
};

inline constexpr std::size_t kClientAPIRequestCount = 45;
inline constexpr std::size_t kClientAPINotificationCount = 23;

// Rows are in case order, so a case's row is its index.
template <>
struct EnumTable<ClientAPIRequest> {
  static constexpr std::array<std::pair<ClientAPIRequest, std::string_view>, kClientAPIRequestCount> values{{
      {ClientAPIRequest::audioCheckrecordingpermission, "/audio/checkrecordingpermission"},
      {ClientAPIRequest::audioStartrecording, "/audio/startrecording"},
      {ClientAPIRequest::audioStartreportinglevels, "/audio/startreportinglevels"},
      {ClientAPIRequest::audioStoprecording, "/audio/stoprecording"},
      {ClientAPIRequest::audioStopreportinglevels, "/audio/stopreportinglevels"},
      {ClientAPIRequest::configurationRequest, "/configuration/request"},
      {ClientAPIRequest::contentCancelsdownloadresources, "/content/cancelsdownloadresources"},
      {ClientAPIRequest::contentCleantemp, "/content/cleantemp"},
      {ClientAPIRequest::contentCodestackresponse, "/content/codestackresponse"},
      {ClientAPIRequest::contentConfirmdownloadresource, "/content/confirmdownloadresource"},
      {ClientAPIRequest::contentDeletecontent, "/content/deletecontent"},
      {ClientAPIRequest::contentDeleteresource, "/content/deleteresource"},
      {ClientAPIRequest::contentDownloadresource, "/content/downloadresource"},
      {ClientAPIRequest::contentOpenlink, "/content/openlink"},
      {ClientAPIRequest::contentRestorecontent, "/content/restorecontent"},
      {ClientAPIRequest::contentWriteresource, "/content/writeresource"},
      {ClientAPIRequest::contentWritetmpresource, "/content/writetmpresource"},
      {ClientAPIRequest::deviceSelectFolder, "device/selectFolder"},
      {ClientAPIRequest::deviceSetorientation, "device/setorientation"},
      {ClientAPIRequest::gamepadSubscribe, "gamepad/subscribe"},
      {ClientAPIRequest::hubConnect, "/hub/connect"},
      {ClientAPIRequest::hubConnections, "/hub/connections"},
      {ClientAPIRequest::hubConnectionsValidate, "/hub/connections/validate"},
      {ClientAPIRequest::hubDisconnect, "/hub/disconnect"},
      {ClientAPIRequest::hubSend, "/hub/send"},
      {ClientAPIRequest::hubStartscan, "/hub/startscan"},
      {ClientAPIRequest::hubStopscan, "/hub/stopscan"},
      {ClientAPIRequest::hubUpdatingFirmware, "/hub/updatingFirmware"},
      {ClientAPIRequest::menuHideProjectItems, "/menu/hideProjectItems"},
      {ClientAPIRequest::menuShowProjectItems, "/menu/showProjectItems"},
      {ClientAPIRequest::miscMoveAppBack, "/misc/moveAppBack"},
      {ClientAPIRequest::miscRequestrating, "/misc/requestrating"},
      {ClientAPIRequest::ping, "/ping"},
      {ClientAPIRequest::projectsChangeProjectFolder, "/projects/changeProjectFolder"},
      {ClientAPIRequest::projectsDelete, "/projects/delete"},
      {ClientAPIRequest::projectsInitialprojects, "/projects/initialprojects"},
      {ClientAPIRequest::projectsList, "/projects/list"},
      {ClientAPIRequest::projectsMove, "/projects/move"},
      {ClientAPIRequest::projectsSaveAs, "/projects/saveAs"},
      {ClientAPIRequest::projectsShare, "/projects/share"},
      {ClientAPIRequest::projectsShowOpenDialog, "/projects/showOpenDialog"},
      {ClientAPIRequest::pythonDisablepythonkeyboard, "/python/disablepythonkeyboard"},
      {ClientAPIRequest::pythonEnablepythonkeyboard, "/python/enablepythonkeyboard"},
      {ClientAPIRequest::pythonTriggerpaste, "/python/triggerpaste"},
      {ClientAPIRequest::settingsSave, "/settings/save"},
  }};
};

template <>
struct EnumTable<ClientAPINotification> {
  static constexpr std::array<std::pair<ClientAPINotification, std::string_view>, kClientAPINotificationCount>
      values{{
      {ClientAPINotification::audioLevelupdate, "/audio/levelupdate"},
      {ClientAPINotification::configurationChanged, "/configuration/changed"},
      {ClientAPINotification::contentCodestackrequest, "/content/codestackrequest"},
      {ClientAPINotification::contentContentdeleted, "/content/contentdeleted"},
      {ClientAPINotification::contentContentrestored, "/content/contentrestored"},
      {ClientAPINotification::gamepadConnected, "gamepad/connected"},
      {ClientAPINotification::gamepadDisconnected, "gamepad/disconnected"},
      {ClientAPINotification::gamepadSnapshot, "gamepad/snapshot"},
      {ClientAPINotification::hostLifecycleBackground, "host/lifecycle/background"},
      {ClientAPINotification::hostLifecycleForeground, "host/lifecycle/foreground"},
      {ClientAPINotification::hubConnected, "/hub/connected"},
      {ClientAPINotification::hubConnecting, "/hub/connecting"},
      {ClientAPINotification::hubConnectionfailed, "/hub/connectionfailed"},
      {ClientAPINotification::hubDevicefound, "hub/devicefound"},
      {ClientAPINotification::hubDidReceiveMessage, "/hub/didReceiveMessage"},
      {ClientAPINotification::hubDisconnected, "/hub/disconnected"},
      {ClientAPINotification::hubScanningstopped, "/hub/scanningstopped"},
      {ClientAPINotification::menuItemClicked, "/menu/itemClicked"},
      {ClientAPINotification::menuNavigateHistory, "/menu/navigateHistory"},
      {ClientAPINotification::projectsMoved, "/projects/moved"},
      {ClientAPINotification::projectsOpennotification, "/projects/opennotification"},
      {ClientAPINotification::pythonPaste, "/python/paste"},
      {ClientAPINotification::pythonPresskeyboardbutton, "/python/presskeyboardbutton"},
      }};
};

constexpr std::string_view rawValue(ClientAPIRequest method) {
  return EnumTable<ClientAPIRequest>::values[static_cast<std::size_t>(method)].second;
}

constexpr std::string_view rawValue(ClientAPINotification method) {
  return EnumTable<ClientAPINotification>::values[static_cast<std::size_t>(method)].second;
}

/// The case whose method string equals `raw` byte for byte, or none. Runs once per incoming frame,
/// so it looks the text up in a hash map built on first use.
std::optional<ClientAPIRequest> clientAPIRequestFromRaw(std::string_view raw);
std::optional<ClientAPINotification> clientAPINotificationFromRaw(std::string_view raw);

}  // namespace kestrom

#pragma once
// The whole notification vocabulary in one record: one field per notification method, keyed by
// the method string, holding that method's params. It documents the params shapes and lets tests
// check the method and record tables against each other; no message carries it.

#include <tuple>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"
#include "KestromKit/model/NotificationRecords.h"

namespace kestrom {

/// Fields in byte order of their method strings.
struct IClientAPINotificationParams {
  RPCNotifyAudioLevelUpdateParams audioLevelupdate;
  RPCNotifyConfigurationChangedParams configurationChanged;
  RPCNotifyContentCodeStackRequestParams contentCodestackrequest;
  JSONObject contentContentdeleted;
  JSONObject contentContentrestored;
  RPCNotifyHubConnectedParams hubConnected;
  JSONObject hubConnecting;
  JSONObject hubConnectionfailed;
  RPCNotifyHubDidReceiveMessageParams hubDidReceiveMessage;
  RPCNotifyHubDisconnectedParams hubDisconnected;
  RPCNotifyHubScanningStoppedParams hubScanningstopped;
  RPCNotifyMenuItemClickedParams menuItemClicked;
  RPCNotifyMenuNavigateHistoryParams menuNavigateHistory;
  JSONObject projectsMoved;
  RPCNotifyProjectsRequestOpenParams projectsOpennotification;
  RPCNotifyPythonPasteParams pythonPaste;
  RPCNotifyPythonPressKeyboardButtonParams pythonPresskeyboardbutton;
  RPCNotifyGamepadConnectedParams gamepadConnected;
  RPCNotifyGamepadDisconnectedParams gamepadDisconnected;
  RPCNotifyGamepadSnapshotParams gamepadSnapshot;
  JSONObject hostLifecycleBackground;
  JSONObject hostLifecycleForeground;
  RPCNotifyHubDeviceFoundParams hubDevicefound;

  friend bool operator==(const IClientAPINotificationParams&, const IClientAPINotificationParams&) = default;
  static constexpr auto codingFields() {
    using S = IClientAPINotificationParams;
    return std::tuple{
        field("/audio/levelupdate", &S::audioLevelupdate),
        field("/configuration/changed", &S::configurationChanged),
        field("/content/codestackrequest", &S::contentCodestackrequest),
        field("/content/contentdeleted", &S::contentContentdeleted),
        field("/content/contentrestored", &S::contentContentrestored),
        field("/hub/connected", &S::hubConnected),
        field("/hub/connecting", &S::hubConnecting),
        field("/hub/connectionfailed", &S::hubConnectionfailed),
        field("/hub/didReceiveMessage", &S::hubDidReceiveMessage),
        field("/hub/disconnected", &S::hubDisconnected),
        field("/hub/scanningstopped", &S::hubScanningstopped),
        field("/menu/itemClicked", &S::menuItemClicked),
        field("/menu/navigateHistory", &S::menuNavigateHistory),
        field("/projects/moved", &S::projectsMoved),
        field("/projects/opennotification", &S::projectsOpennotification),
        field("/python/paste", &S::pythonPaste),
        field("/python/presskeyboardbutton", &S::pythonPresskeyboardbutton),
        field("gamepad/connected", &S::gamepadConnected),
        field("gamepad/disconnected", &S::gamepadDisconnected),
        field("gamepad/snapshot", &S::gamepadSnapshot),
        field("host/lifecycle/background", &S::hostLifecycleBackground),
        field("host/lifecycle/foreground", &S::hostLifecycleForeground),
        field("hub/devicefound", &S::hubDevicefound)};
  }
};

}  // namespace kestrom

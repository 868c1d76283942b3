#pragma once
// One notification the host pushes to the page: which one and its params.

#include <cstddef>
#include <string_view>
#include <type_traits>
#include <variant>

#include "KestromKit/model/ClientAPI.h"
#include "KestromKit/model/JSONAny.h"
#include "KestromKit/model/NotificationRecords.h"
#include "KestromKit/model/Configuration.h"

namespace kestrom::RPC {

enum class NotificationCase {
  hubConnected,               // "/hub/connected"
  hubDisconnected,            // "/hub/disconnected"
  hubScanningStopped,         // "/hub/scanningstopped"
  hubDeviceFound,             // "hub/devicefound"
  hubDidReceiveMessage,       // "/hub/didReceiveMessage"
  hubConnectionFailed,        // "/hub/connectionfailed"
  hubConnecting,              // "/hub/connecting"
  audioLevelUpdate,           // "/audio/levelupdate"
  configurationChanged,       // "/configuration/changed"
  contentRestored,            // "/content/contentrestored"
  contentCodeStackRequest,    // "/content/codestackrequest"
  contentDeleted,             // "/content/contentdeleted"
  menuItemClicked,            // "/menu/itemClicked"
  menuNavigateHistory,        // "/menu/navigateHistory"
  projectsRequestOpen,        // "/projects/opennotification"
  projectMoved,               // "/projects/moved"
  pythonPressKeyboardButton,  // "/python/presskeyboardbutton"
  pythonPaste,                // "/python/paste"
  gamepadConnected,           // "gamepad/connected"
  gamepadSnapshot,            // "gamepad/snapshot"
  gamepadDisconnected,        // "gamepad/disconnected"
  hostLifecycleBackground,    // "host/lifecycle/background"
  hostLifecycleForeground,    // "host/lifecycle/foreground"
};

inline constexpr std::size_t kNotificationCaseCount = 23;

/// What a notification carries: a free object, one params record, or (for
/// "/configuration/changed") the kit's Configuration, whose tree becomes the params.
using NotificationPayload = std::variant<JSONObject,
                                         RPCNotifyHubConnectedParams,
                                         RPCNotifyHubDisconnectedParams,
                                         RPCNotifyHubScanningStoppedParams,
                                         RPCNotifyHubDeviceFoundParams,
                                         RPCNotifyHubDidReceiveMessageParams,
                                         RPCNotifyAudioLevelUpdateParams,
                                         Configuration,
                                         RPCNotifyContentCodeStackRequestParams,
                                         RPCNotifyMenuItemClickedParams,
                                         RPCNotifyMenuNavigateHistoryParams,
                                         RPCNotifyProjectsRequestOpenParams,
                                         RPCNotifyPythonPressKeyboardButtonParams,
                                         RPCNotifyPythonPasteParams,
                                         RPCNotifyGamepadConnectedParams,
                                         RPCNotifyGamepadSnapshotParams,
                                         RPCNotifyGamepadDisconnectedParams>;

/// Which alternative of NotificationPayload a case carries.
constexpr std::size_t payloadIndex(NotificationCase kind) {
  switch (kind) {
    case NotificationCase::hubConnected: return 1;
    case NotificationCase::hubDisconnected: return 2;
    case NotificationCase::hubScanningStopped: return 3;
    case NotificationCase::hubDeviceFound: return 4;
    case NotificationCase::hubDidReceiveMessage: return 5;
    case NotificationCase::audioLevelUpdate: return 6;
    case NotificationCase::configurationChanged: return 7;
    case NotificationCase::contentCodeStackRequest: return 8;
    case NotificationCase::menuItemClicked: return 9;
    case NotificationCase::menuNavigateHistory: return 10;
    case NotificationCase::projectsRequestOpen: return 11;
    case NotificationCase::pythonPressKeyboardButton: return 12;
    case NotificationCase::pythonPaste: return 13;
    case NotificationCase::gamepadConnected: return 14;
    case NotificationCase::gamepadSnapshot: return 15;
    case NotificationCase::gamepadDisconnected: return 16;
    default: return 0;
  }
}

/// The payload type of a case: `PayloadOf<NotificationCase::pythonPaste>` is
/// RPCNotifyPythonPasteParams; the seven free-object cases' is JSONObject.
template <NotificationCase C>
using PayloadOf = std::variant_alternative_t<payloadIndex(C), NotificationPayload>;

/// One notification. A plain value, built on any queue and encoded on any queue.
class Notification {
 public:
  using Case = NotificationCase;

  /// `payload` must hold the type the case carries; a mismatch is a programming error and throws
  /// std::logic_error.
  Notification(Case kind, NotificationPayload payload);

  /// A notification whose payload type is checked at compile time:
  /// `Notification::make<Notification::Case::pythonPaste>({"text"})`.
  template <Case C>
  static Notification make(PayloadOf<C> payload = {}) {
    return Notification(C, NotificationPayload(std::in_place_index<payloadIndex(C)>, std::move(payload)));
  }

  Case kind() const { return kind_; }
  /// The method string written into the envelope, leading slash or not.
  ClientAPINotification method() const;
  const NotificationPayload& payload() const { return payload_; }
  /// The payload as the type the case carries; another type throws std::bad_variant_access.
  template <class T>
  const T& payload() const {
    return std::get<T>(payload_);
  }

  friend bool operator==(const Notification&, const Notification&) = default;

 private:
  Case kind_;
  NotificationPayload payload_;
};

/// The case's name as written in code ("hubDeviceFound"), for log lines.
std::string_view toString(NotificationCase kind);
ClientAPINotification notificationMethod(NotificationCase kind);

}  // namespace kestrom::RPC

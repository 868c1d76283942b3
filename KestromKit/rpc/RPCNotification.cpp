#include "KestromKit/rpc/RPCNotification.h"

#include <array>
#include <stdexcept>
#include <string>

namespace kestrom::RPC {

namespace {

struct Row {
  std::string_view name;
  ClientAPINotification method;
};

constexpr std::array<Row, kNotificationCaseCount> kRows{{
    {"hubConnected", ClientAPINotification::hubConnected},
    {"hubDisconnected", ClientAPINotification::hubDisconnected},
    {"hubScanningStopped", ClientAPINotification::hubScanningstopped},
    {"hubDeviceFound", ClientAPINotification::hubDevicefound},
    {"hubDidReceiveMessage", ClientAPINotification::hubDidReceiveMessage},
    {"hubConnectionFailed", ClientAPINotification::hubConnectionfailed},
    {"hubConnecting", ClientAPINotification::hubConnecting},
    {"audioLevelUpdate", ClientAPINotification::audioLevelupdate},
    {"configurationChanged", ClientAPINotification::configurationChanged},
    {"contentRestored", ClientAPINotification::contentContentrestored},
    {"contentCodeStackRequest", ClientAPINotification::contentCodestackrequest},
    {"contentDeleted", ClientAPINotification::contentContentdeleted},
    {"menuItemClicked", ClientAPINotification::menuItemClicked},
    {"menuNavigateHistory", ClientAPINotification::menuNavigateHistory},
    {"projectsRequestOpen", ClientAPINotification::projectsOpennotification},
    {"projectMoved", ClientAPINotification::projectsMoved},
    {"pythonPressKeyboardButton", ClientAPINotification::pythonPresskeyboardbutton},
    {"pythonPaste", ClientAPINotification::pythonPaste},
    {"gamepadConnected", ClientAPINotification::gamepadConnected},
    {"gamepadSnapshot", ClientAPINotification::gamepadSnapshot},
    {"gamepadDisconnected", ClientAPINotification::gamepadDisconnected},
    {"hostLifecycleBackground", ClientAPINotification::hostLifecycleBackground},
    {"hostLifecycleForeground", ClientAPINotification::hostLifecycleForeground},
}};

static_assert(static_cast<std::size_t>(NotificationCase::hostLifecycleForeground) + 1 == kNotificationCaseCount);

const Row& rowOf(NotificationCase kind) { return kRows.at(static_cast<std::size_t>(kind)); }

}  // namespace

Notification::Notification(Case kind, NotificationPayload payload) : kind_(kind), payload_(std::move(payload)) {
  if (payload_.index() != payloadIndex(kind_))
    throw std::logic_error("RPC::Notification " + std::string(toString(kind_)) + " built with another payload");
}

ClientAPINotification Notification::method() const { return rowOf(kind_).method; }

std::string_view toString(NotificationCase kind) { return rowOf(kind).name; }

ClientAPINotification notificationMethod(NotificationCase kind) { return rowOf(kind).method; }

}  // namespace kestrom::RPC

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

#define KESTROM_RPC_ROW(method, rpcCase, ...) {#rpcCase, ClientAPINotification::method},
constexpr std::array<Row, kNotificationCaseCount> kRows{{KESTROM_CLIENT_API_NOTIFICATIONS(KESTROM_RPC_ROW)}};
#undef KESTROM_RPC_ROW

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

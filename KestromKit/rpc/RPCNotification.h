#pragma once
// One notification the host pushes to the page: which one and its params.

#include <cstddef>
#include <string_view>
#include <type_traits>
#include <variant>

#include "KestromKit/base/UniqueVariant.h"
#include "KestromKit/model/ClientAPI.h"
#include "KestromKit/model/ClientAPIMethods.h"
#include "KestromKit/model/JSONAny.h"
#include "KestromKit/model/NotificationRecords.h"
#include "KestromKit/model/Configuration.h"

namespace kestrom::RPC {

enum class NotificationCase {
#define KESTROM_RPC_CASE(method, rpcCase, ...) rpcCase,
  KESTROM_CLIENT_API_NOTIFICATIONS(KESTROM_RPC_CASE)
#undef KESTROM_RPC_CASE
};

inline constexpr std::size_t kNotificationCaseCount = kClientAPINotificationCount;

/// What a notification carries: a free object, one params record, or (for
/// "/configuration/changed") the kit's Configuration, whose tree becomes the params.
#define KESTROM_RPC_PAYLOAD(method, rpcCase, text, params, payload) , payload
using NotificationPayload = UniqueVariant<JSONObject KESTROM_CLIENT_API_NOTIFICATIONS(KESTROM_RPC_PAYLOAD)>;
#undef KESTROM_RPC_PAYLOAD

/// Which alternative of NotificationPayload a case carries.
constexpr std::size_t payloadIndex(NotificationCase kind) {
  switch (kind) {
#define KESTROM_RPC_PAYLOAD_INDEX(method, rpcCase, text, params, payload) \
  case NotificationCase::rpcCase: return variantIndex<payload, NotificationPayload>;
    KESTROM_CLIENT_API_NOTIFICATIONS(KESTROM_RPC_PAYLOAD_INDEX)
#undef KESTROM_RPC_PAYLOAD_INDEX
  }
  return 0;
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

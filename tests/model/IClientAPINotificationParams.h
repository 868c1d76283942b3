#pragma once
// The whole notification vocabulary in one record: one field per notification method, keyed by
// the method string, holding that method's params. The tests check the method and record tables
// against each other through it; no message carries it.

#include <tuple>

#include "KestromKit/model/ClientAPIMethods.h"
#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"
#include "KestromKit/model/NotificationRecords.h"

namespace kestrom {

#define KESTROM_AGGREGATE_FIELD(method, rpcCase, text, ...) KESTROM_API_FIRST(__VA_ARGS__) method;
#define KESTROM_AGGREGATE_KEY(method, rpcCase, text, ...) field(text, &IClientAPINotificationParams::method),
/// One field per method, in the order of the list in ClientAPIMethods.h.
struct IClientAPINotificationParams {
  KESTROM_CLIENT_API_NOTIFICATIONS(KESTROM_AGGREGATE_FIELD)

  static constexpr auto codingFields() {
    return std::tuple{KESTROM_CLIENT_API_NOTIFICATIONS(KESTROM_AGGREGATE_KEY)};
  }

  friend bool operator==(const IClientAPINotificationParams&, const IClientAPINotificationParams&) = default;
};
#undef KESTROM_AGGREGATE_FIELD
#undef KESTROM_AGGREGATE_KEY

}  // namespace kestrom

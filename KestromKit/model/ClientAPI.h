#pragma once
// The method names of the page channel: the requests the page may send and the notifications the
// host may push, expanded from the one list in ClientAPIMethods.h. A case's raw value is the exact
// text of the envelope's "method" member.

#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "KestromKit/model/ClientAPIMethods.h"
#include "KestromKit/model/Coding.h"

namespace kestrom {

#define KESTROM_API_CASE(method, rpcCase, text, ...) method,
/// The 45 request methods, in the order of the list in ClientAPIMethods.h.
enum class ClientAPIRequest { KESTROM_CLIENT_API_REQUESTS(KESTROM_API_CASE) };
/// The 23 notification methods, in the order of the list in ClientAPIMethods.h.
enum class ClientAPINotification { KESTROM_CLIENT_API_NOTIFICATIONS(KESTROM_API_CASE) };
#undef KESTROM_API_CASE

#define KESTROM_API_COUNT(...) +1
inline constexpr std::size_t kClientAPIRequestCount = 0 KESTROM_CLIENT_API_REQUESTS(KESTROM_API_COUNT);
inline constexpr std::size_t kClientAPINotificationCount = 0 KESTROM_CLIENT_API_NOTIFICATIONS(KESTROM_API_COUNT);
#undef KESTROM_API_COUNT
static_assert(kClientAPIRequestCount == 45 && kClientAPINotificationCount == 23);

// Rows are in case order, so a case's row is its index.
#define KESTROM_API_REQUEST_ROW(method, rpcCase, text, ...) {ClientAPIRequest::method, text},
#define KESTROM_API_NOTIFICATION_ROW(method, rpcCase, text, ...) {ClientAPINotification::method, text},
template <>
struct EnumTable<ClientAPIRequest> {
  static constexpr std::array<std::pair<ClientAPIRequest, std::string_view>, kClientAPIRequestCount> values{{
      KESTROM_CLIENT_API_REQUESTS(KESTROM_API_REQUEST_ROW)}};
};

template <>
struct EnumTable<ClientAPINotification> {
  static constexpr std::array<std::pair<ClientAPINotification, std::string_view>, kClientAPINotificationCount>
      values{{KESTROM_CLIENT_API_NOTIFICATIONS(KESTROM_API_NOTIFICATION_ROW)}};
};
#undef KESTROM_API_REQUEST_ROW
#undef KESTROM_API_NOTIFICATION_ROW

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

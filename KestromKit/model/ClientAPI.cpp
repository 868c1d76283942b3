#include "KestromKit/model/ClientAPI.h"

#include <unordered_map>

namespace kestrom {

namespace {

template <class E>
std::unordered_map<std::string_view, E> makeLookup() {
  std::unordered_map<std::string_view, E> lookup;
  lookup.reserve(EnumTable<E>::values.size());
  for (const auto& [method, raw] : EnumTable<E>::values) lookup.emplace(raw, method);
  return lookup;
}

// The rows must sit at their case's index for rawValue's direct indexing.
template <class E>
constexpr bool rowsInCaseOrder() {
  for (std::size_t i = 0; i < EnumTable<E>::values.size(); ++i)
    if (static_cast<std::size_t>(EnumTable<E>::values[i].first) != i) return false;
  return true;
}
static_assert(rowsInCaseOrder<ClientAPIRequest>());
static_assert(rowsInCaseOrder<ClientAPINotification>());

}  // namespace

std::optional<ClientAPIRequest> clientAPIRequestFromRaw(std::string_view raw) {
  static const auto lookup = makeLookup<ClientAPIRequest>();
  if (auto it = lookup.find(raw); it != lookup.end()) return it->second;
  return std::nullopt;
}

std::optional<ClientAPINotification> clientAPINotificationFromRaw(std::string_view raw) {
  static const auto lookup = makeLookup<ClientAPINotification>();
  if (auto it = lookup.find(raw); it != lookup.end()) return it->second;
  return std::nullopt;
}

}  // namespace kestrom

#pragma once
// The whole reply vocabulary in one record: one field per request method, keyed by the method
// string, holding the result that method's reply carries. The tests check the method and record
// tables against each other through it; no message carries it.

#include <tuple>

#include "KestromKit/model/ClientAPIMethods.h"
#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"
#include "KestromKit/model/ResponseRecords.h"

namespace kestrom {

#define KESTROM_AGGREGATE_FIELD(method, rpcCase, text, ...) KESTROM_API_SECOND(__VA_ARGS__) method;
#define KESTROM_AGGREGATE_KEY(method, rpcCase, text, ...) field(text, &IClientAPIResponseParams::method),
/// One field per method, in the order of the list in ClientAPIMethods.h.
struct IClientAPIResponseParams {
  KESTROM_CLIENT_API_REQUESTS(KESTROM_AGGREGATE_FIELD)

  static constexpr auto codingFields() {
    return std::tuple{KESTROM_CLIENT_API_REQUESTS(KESTROM_AGGREGATE_KEY)};
  }

  friend bool operator==(const IClientAPIResponseParams&, const IClientAPIResponseParams&) = default;
};
#undef KESTROM_AGGREGATE_FIELD
#undef KESTROM_AGGREGATE_KEY

}  // namespace kestrom

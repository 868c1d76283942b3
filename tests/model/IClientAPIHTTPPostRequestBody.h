#pragma once
// Every POST path of the local HTTP server with its body record, keyed by the path text itself.
// The tests check the path table and the body records against each other through it; the router
// decodes only the body of the path it matched.

#include <tuple>

#include "KestromKit/model/PostRecords.h"

namespace kestrom {

struct IClientAPIHTTPPostRequestBody {
  HTTPPostSentryEnabledBodyV1 v1SentryEnabled;

  friend bool operator==(const IClientAPIHTTPPostRequestBody&, const IClientAPIHTTPPostRequestBody&) = default;
  static constexpr auto codingFields() {
    return std::tuple{field("/v1/sentryEnabled", &IClientAPIHTTPPostRequestBody::v1SentryEnabled)};
  }
};

}  // namespace kestrom

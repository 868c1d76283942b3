#pragma once
// The POST requests the page may send to the local HTTP server besides the JSON-RPC channel: their
// paths and body records. The router matches the path by its text and decodes only the body.

#include <array>
#include <string_view>
#include <tuple>
#include <utility>

#include "KestromKit/model/Coding.h"

namespace kestrom {

/// The POST paths, coded as their exact, case-sensitive path text.
enum class ClientAPIV1HTTPPostRequest { v1SentryEnabled };

template <>
struct EnumTable<ClientAPIV1HTTPPostRequest> {
  static constexpr std::array<std::pair<ClientAPIV1HTTPPostRequest, std::string_view>, 1> values{{
      {ClientAPIV1HTTPPostRequest::v1SentryEnabled, "/v1/sentryEnabled"},
  }};
};

/// Body of POST "/v1/sentryEnabled": a JSON Boolean, unlike the "0"/"1" text of the boot query.
struct HTTPPostSentryEnabledBodyV1 {
  bool enabled = false;

  friend bool operator==(const HTTPPostSentryEnabledBodyV1&, const HTTPPostSentryEnabledBodyV1&) = default;
  static constexpr auto codingFields() { return std::tuple{field("enabled", &HTTPPostSentryEnabledBodyV1::enabled)}; }
};

}  // namespace kestrom

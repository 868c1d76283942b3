#pragma once
// The JSON-RPC 2.0 objects the host writes to the page: a result, an error, a notification.
// Their members are handed to the encoder in the order listed; the page reads them by key.

#include <string>
#include <string_view>
#include <tuple>

#include "KestromKit/model/ClientAPI.h"
#include "KestromKit/model/Coding.h"

namespace kestrom {

/// The only protocol version either side speaks.
inline constexpr std::string_view kJsonRpcVersion = "2.0";

/// {"id": …, "result": …, "jsonrpc": "2.0"}.
template <class T>
struct RpcResult {
  std::string id;
  T result;
  std::string jsonrpc{kJsonRpcVersion};

  static constexpr auto codingFields() {
    using S = RpcResult;
    return std::tuple{field("id", &S::id), field("result", &S::result), field("jsonrpc", &S::jsonrpc)};
  }
};

/// {"id": …, "error": "the message", "jsonrpc": "2.0"}: a bare text, no error object or code.
struct RpcError {
  std::string id;
  std::string error;
  std::string jsonrpc{kJsonRpcVersion};

  friend bool operator==(const RpcError&, const RpcError&) = default;
  static constexpr auto codingFields() {
    using S = RpcError;
    return std::tuple{field("id", &S::id), field("error", &S::error), field("jsonrpc", &S::jsonrpc)};
  }
};

/// {"method": …, "params": …, "jsonrpc": "2.0"}.
template <class T>
struct RpcNotification {
  ClientAPINotification method = ClientAPINotification::hubConnected;
  T params;
  std::string jsonrpc{kJsonRpcVersion};

  static constexpr auto codingFields() {
    using S = RpcNotification;
    return std::tuple{field("method", &S::method), field("params", &S::params), field("jsonrpc", &S::jsonrpc)};
  }
};

}  // namespace kestrom

#pragma once
// The JSON-RPC 2.0 request envelope as the page sends it:
// {"id": …, "method": …, "jsonrpc": "2.0", "params": {"values": …}}.

#include <string>
#include <tuple>

#include "KestromKit/model/Coding.h"

namespace kestrom {

/// The envelope's three string members; "params" and any other member are not part of it.
struct Rpc {
  std::string id;
  std::string method;
  std::string jsonrpc;

  friend bool operator==(const Rpc&, const Rpc&) = default;
  static constexpr auto codingFields() {
    using S = Rpc;
    return std::tuple{field("id", &S::id), field("method", &S::method), field("jsonrpc", &S::jsonrpc)};
  }
};

/// Where a request's payload sits, two levels down; both levels are required for every method.
template <class T>
struct GenericParams {
  struct Params {
    T values;
    static constexpr auto codingFields() { return std::tuple{field("values", &Params::values)}; }
  };

  Params params;
  static constexpr auto codingFields() { return std::tuple{field("params", &GenericParams::params)}; }
};

}  // namespace kestrom

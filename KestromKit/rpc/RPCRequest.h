#pragma once
// One decoded request of the page channel, and the decoding of a text frame into one.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "KestromKit/base/Expected.h"
#include "KestromKit/base/UniqueVariant.h"
#include "KestromKit/rpc/RPCFailure.h"
#include "KestromKit/model/ClientAPI.h"
#include "KestromKit/model/ClientAPIMethods.h"
#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"
#include "KestromKit/model/RequestRecords.h"
#include "KestromKit/model/ResponseRecords.h"

namespace kestrom::RPC {

/// One request from the page: which method, the envelope's id, and the method's decoded payload.
/// A plain value, built on the thread that received the frame and moved to the main queue.
class Request {
 public:
  /// One case per request method, in the order of ClientAPIRequest (the list in
  /// ClientAPIMethods.h), named after what the method does.
  enum class Case {
#define KESTROM_RPC_CASE(method, rpcCase, ...) rpcCase,
    KESTROM_CLIENT_API_REQUESTS(KESTROM_RPC_CASE)
#undef KESTROM_RPC_CASE
  };

  /// The distinct payload records of the methods.
#define KESTROM_RPC_PARAMS(method, rpcCase, text, params, result) , params
  using Params = UniqueVariant<JSONObject KESTROM_CLIENT_API_REQUESTS(KESTROM_RPC_PARAMS)>;
#undef KESTROM_RPC_PARAMS

  /// `params` must hold the type the case carries (see the decoding table); a mismatch is a
  /// programming error and throws std::logic_error.
  Request(Case kind, std::string id, Params params);

  Case kind() const { return kind_; }
  /// The envelope's id, copied unchanged into the reply.
  const std::string& id() const { return id_; }
  ClientAPIRequest method() const;
  const Params& params() const { return params_; }
  /// The payload as the record the case carries: `request.params<RPCRequestHubSendParams>()`.
  /// Asking for another type throws std::bad_variant_access.
  template <class T>
  const T& params() const& {
    return std::get<T>(params_);
  }
  /// Moves the payload out, for handlers that keep it (a resource text can be large).
  template <class T>
  T&& params() && {
    return std::get<T>(std::move(params_));
  }

  friend bool operator==(const Request&, const Request&) = default;

 private:
  Case kind_;
  std::string id_;
  Params params_;
};

/// The payload record of a case: `ParamsOf<Request::Case::hubSend>` is RPCRequestHubSendParams.
template <Request::Case C>
struct RequestParamsOf;
#define KESTROM_RPC_PARAMS_OF(method, rpcCase, text, params, result) \
  template <>                                                          \
  struct RequestParamsOf<Request::Case::rpcCase> {                     \
    using type = params;                                               \
  };
KESTROM_CLIENT_API_REQUESTS(KESTROM_RPC_PARAMS_OF)
#undef KESTROM_RPC_PARAMS_OF
template <Request::Case C>
using ParamsOf = typename RequestParamsOf<C>::type;

inline constexpr std::size_t kRequestCaseCount = kClientAPIRequestCount;

/// The case's name as written in code ("hubSend"), for log lines.
std::string_view toString(Request::Case kind);
Request::Case requestCase(ClientAPIRequest method);
ClientAPIRequest requestMethod(Request::Case kind);

/// Why a frame did not decode: a channel failure (wrong version, unknown method) or the coding
/// layer's error for the envelope or the payload.
struct DecodeError {
  std::variant<Failure, CodingError> reason;

  const Failure* failure() const { return std::get_if<Failure>(&reason); }
  const CodingError* codingError() const { return std::get_if<CodingError>(&reason); }
  /// The failure's own text, or the coding error's description.
  std::string description() const;
};

/// Turns one text frame into a request. The frame is parsed once; the envelope is checked
/// ("id", "method" and "jsonrpc" required strings, "jsonrpc" exactly "2.0" before the method is
/// looked up), then "params"."values" is decoded as the method's payload. Safe on any thread.
[[nodiscard]] Expected<Request, DecodeError> decodeRequest(std::string_view frame);

/// Decodes the payload of `method` from an already parsed frame and wraps it with `id`.
[[nodiscard]] Expected<Request, CodingError> decodeRequestParams(ClientAPIRequest method, const Json& frame,
                                                                 std::string id);

}  // namespace kestrom::RPC

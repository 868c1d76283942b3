#pragma once
// One reply to a request of the page: an error text or the result of the method answered.

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "KestromKit/base/UniqueVariant.h"
#include "KestromKit/model/ClientAPIMethods.h"
#include "KestromKit/rpc/RPCRequest.h"
#include "KestromKit/model/JSONAny.h"
#include "KestromKit/model/ResponseRecords.h"

namespace kestrom::RPC {

/// The reply cases: `error` first, then one per request case, in the request cases' order and
/// with their names.
enum class ResponseCase {
  error,
#define KESTROM_RPC_CASE(method, rpcCase, ...) rpcCase,
  KESTROM_CLIENT_API_REQUESTS(KESTROM_RPC_CASE)
#undef KESTROM_RPC_CASE
};

inline constexpr std::size_t kResponseCaseCount = kRequestCaseCount + 1;

/// The text of an error reply; the channel has no error codes.
struct ErrorText {
  std::string message;
  friend bool operator==(const ErrorText&, const ErrorText&) = default;
};

/// What a reply carries: the error text (`error` only), a free object, or one of the result
/// records.
#define KESTROM_RPC_RESULT(method, rpcCase, text, params, result) , result
using ResponseResult = UniqueVariant<ErrorText, JSONObject KESTROM_CLIENT_API_REQUESTS(KESTROM_RPC_RESULT)>;
#undef KESTROM_RPC_RESULT

/// Which alternative of ResponseResult a case carries.
constexpr std::size_t resultIndex(ResponseCase kind) {
  switch (kind) {
    case ResponseCase::error: return 0;
#define KESTROM_RPC_RESULT_INDEX(method, rpcCase, text, params, result) \
  case ResponseCase::rpcCase: return variantIndex<result, ResponseResult>;
    KESTROM_CLIENT_API_REQUESTS(KESTROM_RPC_RESULT_INDEX)
#undef KESTROM_RPC_RESULT_INDEX
  }
  return 0;
}

/// The result type of a case: `ResultOf<ResponseCase::projectsSaveAs>` is
/// RPCResponseProjectsSaveAsParams, most cases' is JSONObject.
template <ResponseCase C>
using ResultOf = std::variant_alternative_t<resultIndex(C), ResponseResult>;

/// One reply: its case, the id of the request it answers and what it carries. A plain value,
/// built on any queue and encoded on any queue; services may park it until hardware answers.
class Response {
 public:
  using Case = ResponseCase;

  /// `result` must hold the type the case carries; a mismatch is a programming error and throws
  /// std::logic_error.
  Response(Case kind, std::string id, ResponseResult result);

  /// {"id": id, "error": message, "jsonrpc": "2.0"}.
  static Response error(std::string id, std::string message) {
    return Response(Case::error, std::move(id), ErrorText{std::move(message)});
  }
  /// A result whose type is checked at compile time:
  /// `Response::make<Response::Case::projectsSaveAs>(id, {"/tmp/a.kestrom"})`.
  template <Case C>
    requires(C != Case::error)
  static Response make(std::string id, ResultOf<C> result = {}) {
    return Response(C, std::move(id), ResponseResult(std::in_place_index<resultIndex(C)>, std::move(result)));
  }
  /// The empty result {} of a case that answers with a free object (most do). Throws
  /// std::logic_error for `error` and for the seven cases that carry a record.
  static Response emptyResult(Case kind, std::string id);

  Case kind() const { return kind_; }
  /// The id of the request answered, unchanged.
  const std::string& id() const { return id_; }
  bool isError() const { return kind_ == Case::error; }
  /// The error text, or nullptr for a result.
  const std::string* errorMessage() const;
  const ResponseResult& result() const { return result_; }
  /// The result as the type the case carries; another type throws std::bad_variant_access.
  template <class T>
  const T& result() const {
    return std::get<T>(result_);
  }

  friend bool operator==(const Response&, const Response&) = default;

 private:
  Case kind_;
  std::string id_;
  ResponseResult result_;
};

/// The case's name as written in code ("projectsShare"), for log lines.
std::string_view toString(ResponseCase kind);

/// The reply case that answers a request case; they bear the same name.
ResponseCase responseCase(Request::Case request);

}  // namespace kestrom::RPC

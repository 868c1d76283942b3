#include "KestromKit/rpc/RPCRequest.h"

#include <array>
#include <stdexcept>

#include "KestromKit/rpc/RPCEnvelope.h"

namespace kestrom::RPC {

namespace {

using Case = Request::Case;
using M = ClientAPIRequest;

using ParamsDecoder = Decoded<Request::Params> (*)(const Json& frame);
using ParamsCheck = bool (*)(const Request::Params& params);

template <class T>
Decoded<Request::Params> decodeParams(const Json& frame) {
  auto decoded = decode<GenericParams<T>>(frame);
  if (!decoded) return makeUnexpected(std::move(decoded.error()));
  return Request::Params(std::in_place_type<T>, std::move(decoded->params.values));
}

template <class T>
bool holds(const Request::Params& params) {
  return std::holds_alternative<T>(params);
}

struct Row {
  Case kind;
  M method;
  std::string_view name;
  ParamsDecoder decode;
  ParamsCheck holdsPayload;
};

#define KESTROM_REQUEST(method, rpcCase, text, params, result) \
  {Case::rpcCase, M::method, #rpcCase, &decodeParams<params>, &holds<params>},

// One row per method, in case order: which method it answers to and what its payload is.
constexpr std::array<Row, kRequestCaseCount> kRows{{KESTROM_CLIENT_API_REQUESTS(KESTROM_REQUEST)}};

#undef KESTROM_REQUEST

constexpr bool rowsInCaseOrder() {
  for (std::size_t i = 0; i < kRows.size(); ++i)
    if (static_cast<std::size_t>(kRows[i].kind) != i) return false;
  return true;
}
static_assert(rowsInCaseOrder());

// The row of each ClientAPIRequest, by its index; also proves every method has exactly one row.
constexpr std::array<std::size_t, kClientAPIRequestCount> kRowOfMethod = [] {
  std::array<std::size_t, kClientAPIRequestCount> rowOf{};
  for (auto& row : rowOf) row = kRows.size();
  for (std::size_t i = 0; i < kRows.size(); ++i) rowOf[static_cast<std::size_t>(kRows[i].method)] = i;
  return rowOf;
}();

constexpr bool everyMethodHasARow() {
  for (std::size_t row : kRowOfMethod)
    if (row >= kRows.size()) return false;
  return true;
}
static_assert(kClientAPIRequestCount == kRequestCaseCount && everyMethodHasARow());

const Row& rowOf(M method) { return kRows[kRowOfMethod[static_cast<std::size_t>(method)]]; }
const Row& rowOf(Case kind) { return kRows[static_cast<std::size_t>(kind)]; }

}  // namespace

Request::Request(Case kind, std::string id, Params params)
    : kind_(kind), id_(std::move(id)), params_(std::move(params)) {
  if (!rowOf(kind_).holdsPayload(params_))
    throw std::logic_error("RPC::Request " + std::string(toString(kind_)) + " built with another payload");
}

ClientAPIRequest Request::method() const { return rowOf(kind_).method; }

std::string_view toString(Request::Case kind) { return rowOf(kind).name; }
Request::Case requestCase(ClientAPIRequest method) { return rowOf(method).kind; }
ClientAPIRequest requestMethod(Request::Case kind) { return rowOf(kind).method; }

std::string DecodeError::description() const {
  if (const auto* f = failure()) return f->description();
  return std::get<CodingError>(reason).description();
}

Expected<Request, CodingError> decodeRequestParams(ClientAPIRequest method, const Json& frame, std::string id) {
  const Row& row = rowOf(method);
  Decoded<Request::Params> params = [&]() -> Decoded<Request::Params> {
    try {
      return row.decode(frame);
    } catch (const std::exception& e) {  // nlohmann's own checks; the coders check types first
      return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {}, e.what()});
    }
  }();
  if (!params) return makeUnexpected(std::move(params.error()));
  return Request(row.kind, std::move(id), std::move(*params));
}

Expected<Request, DecodeError> decodeRequest(std::string_view frame) {
  auto json = parseJson(frame);
  if (!json) return makeUnexpected(DecodeError{std::move(json.error())});
  auto envelope = decode<Rpc>(*json);
  if (!envelope) return makeUnexpected(DecodeError{std::move(envelope.error())});
  if (envelope->jsonrpc != "2.0") return makeUnexpected(DecodeError{Failure::incompatibleRPC()});
  auto method = clientAPIRequestFromRaw(envelope->method);
  if (!method) return makeUnexpected(DecodeError{Failure::unknown(std::move(envelope->method))});
  auto request = decodeRequestParams(*method, *json, std::move(envelope->id));
  if (!request) return makeUnexpected(DecodeError{std::move(request.error())});
  return std::move(*request);
}

}  // namespace kestrom::RPC

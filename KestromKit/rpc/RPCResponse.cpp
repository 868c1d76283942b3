#include "KestromKit/rpc/RPCResponse.h"

#include <array>
#include <stdexcept>

namespace kestrom::RPC {

namespace {

#define KESTROM_RPC_NAME(method, rpcCase, ...) #rpcCase,
constexpr std::array<std::string_view, kResponseCaseCount> kNames{"error", KESTROM_CLIENT_API_REQUESTS(KESTROM_RPC_NAME)};
#undef KESTROM_RPC_NAME

}  // namespace

Response::Response(Case kind, std::string id, ResponseResult result)
    : kind_(kind), id_(std::move(id)), result_(std::move(result)) {
  if (result_.index() != resultIndex(kind_))
    throw std::logic_error("RPC::Response " + std::string(toString(kind_)) + " built with another result");
}

Response Response::emptyResult(Case kind, std::string id) {
  if (resultIndex(kind) != 1)
    throw std::logic_error("RPC::Response " + std::string(toString(kind)) + " carries no free object");
  return Response(kind, std::move(id), JSONObject{});
}

const std::string* Response::errorMessage() const {
  if (const auto* error = std::get_if<ErrorText>(&result_)) return &error->message;
  return nullptr;
}

std::string_view toString(ResponseCase kind) {
  auto index = static_cast<std::size_t>(kind);
  return index < kNames.size() ? kNames[index] : std::string_view("unknown");
}

ResponseCase responseCase(Request::Case request) {
  return static_cast<ResponseCase>(static_cast<std::size_t>(request) + 1);
}

}  // namespace kestrom::RPC

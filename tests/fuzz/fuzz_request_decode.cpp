// Feeds arbitrary bytes to the page channel's request decoder as one text frame. Decoding must
// never crash or throw, must give the same answer twice, and a decoded request must carry the
// frame's own "id" and "method", with a case that maps back to that method. Every failure must
// describe itself.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "KestromKit/rpc/RPCRequest.h"

using namespace kestrom;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view frame(reinterpret_cast<const char*>(data), size);
  auto request = RPC::decodeRequest(frame);
  auto again = RPC::decodeRequest(frame);
  if (request.has_value() != again.has_value()) std::abort();
  if (!request) {
    if (request.error().description().empty()) std::abort();
    return 0;
  }
  if (!(*request == *again)) std::abort();

  // A frame that decoded is a JSON object whose "id" and "method" are strings.
  auto json = parseJson(frame);
  if (!json || !json->is_object()) std::abort();
  const auto& id = json->at("id");
  const auto& method = json->at("method");
  if (!id.is_string() || !method.is_string()) std::abort();
  if (request->id() != id.get<std::string>()) std::abort();
  if (clientAPIRequestFromRaw(method.get<std::string>()) != request->method()) std::abort();
  if (RPC::requestCase(request->method()) != request->kind()) std::abort();
  if (RPC::toString(request->kind()).empty()) std::abort();
  return 0;
}

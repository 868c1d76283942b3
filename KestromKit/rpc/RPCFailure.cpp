#include "KestromKit/rpc/RPCFailure.h"
#include "platform/log/RequestValue.h"

namespace kestrom::RPC {

std::string Failure::description() const {
  switch (kind) {
    case Case::unknown: return "RPC: unknown method: " + log::requestValue(method);
    case Case::incompatibleRPC: return "RPC: incompatiable rpc";
    case Case::codingFailure: return "RPC: coding failure";
  }
  return "RPC: coding failure";
}

}  // namespace kestrom::RPC

#pragma once
// The one outlet to the page. Services are handed it when they are made and answer and notify
// through it, possibly much later and from any queue. Implemented by WebAppRPCConnection (every
// open WebSocket connection).

#include "KestromKit/rpc/RPCMessage.h"

namespace kestrom {

class RPCInterface {
 public:
  virtual ~RPCInterface() = default;
  virtual void send(RPC::Response response) = 0;
  virtual void send(RPCMessage message) = 0;
};

}  // namespace kestrom

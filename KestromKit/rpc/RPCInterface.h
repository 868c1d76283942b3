#pragma once
// The one outlet to the page. Services keep the interface they were handed with a request and
// answer through it, possibly much later and from any queue. Implemented by WebAppRPCConnection
// (every open WebSocket connection) and LoopBack (an in-process completion).

#include <functional>
#include <utility>

#include "KestromKit/rpc/RPCMessage.h"

namespace kestrom {

class RPCInterface {
 public:
  virtual ~RPCInterface() = default;
  virtual void send(RPC::Response response) = 0;
  virtual void send(RPCMessage message) = 0;
};

/// Hands every outgoing value to a completion, on the caller's queue, instead of the page.
class LoopBack final : public RPCInterface {
 public:
  using Completion = std::function<void(RPCMessage)>;

  explicit LoopBack(Completion completion = {}) : completion_(std::move(completion)) {}

  void send(RPC::Response response) override {
    if (completion_) completion_(RPCMessage(std::move(response)));
  }
  void send(RPCMessage message) override {
    if (completion_) completion_(std::move(message));
  }

 private:
  Completion completion_;
};

}  // namespace kestrom

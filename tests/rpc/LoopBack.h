#pragma once
// An outlet to the page for tests: every reply and notification goes to a completion, on the
// sender's queue, instead of the page.

#include <functional>
#include <utility>

#include "KestromKit/rpc/RPCInterface.h"

namespace kestrom {

/// Hands every outgoing value to a completion, on the caller's queue, instead of the page.
class LoopBack final : public RPCInterface {
 public:
  using Completion = std::function<void(RPCMessage)>;

  explicit LoopBack(Completion completion) : completion_(std::move(completion)) {}

  void send(RPC::Response response) override { completion_(RPCMessage(std::move(response))); }
  void send(RPCMessage message) override { completion_(std::move(message)); }

 private:
  Completion completion_;
};

}  // namespace kestrom

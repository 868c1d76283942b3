#pragma once
// What the local HTTP server tells its owner: the port it really listens on. The kit implements it
// (to hand the port to the page and to the WebSocket server's origin check).

#include <cstdint>

namespace kestrom {

class WebServerDelegate {
 public:
  virtual ~WebServerDelegate() = default;
  /// The port the server really listens on; called on the run-loop thread after every (re)start.
  virtual void webServerDidStart(std::int32_t port) = 0;
};

}  // namespace kestrom

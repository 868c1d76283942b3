#pragma once
// The receiver of everything the WebSocket server reports. The server holds it weakly and drops
// events while none is set. `handle` is called on the server's I/O thread (and for `stopped` on
// its "WSServer" queue): it must return quickly and move real work to its own queue.

#include "KestromKit/server/WSEvent.h"

namespace kestrom {

class WSServerDelegate {
 public:
  virtual ~WSServerDelegate() = default;
  virtual void handle(const WSEvent& event) = 0;
};

}  // namespace kestrom

#include "KestromKit/server/WSEvent.h"

namespace kestrom {

WSEvent WSEvent::started(unsigned port) {
  WSEvent e;
  e.kind = Kind::started;
  e.port = port;
  return e;
}

WSEvent WSEvent::onError(std::error_code error) {
  WSEvent e;
  e.kind = Kind::onError;
  e.error = error;
  return e;
}

WSEvent WSEvent::onMessage(std::string message, std::shared_ptr<WSConnection> from) {
  WSEvent e;
  e.kind = Kind::onMessage;
  e.message = std::move(message);
  e.from = std::move(from);
  return e;
}

WSEvent WSEvent::stopped() { return WSEvent{}; }

WSEvent WSEvent::onOpen() {
  WSEvent e;
  e.kind = Kind::onOpen;
  return e;
}

WSEvent WSEvent::onClose() {
  WSEvent e;
  e.kind = Kind::onClose;
  return e;
}

std::string WSEvent::description() const {
  switch (kind) {
    case Kind::started: return "started(port: " + std::to_string(port) + ")";
    case Kind::onError:
      return "onError(error: " + error.message() + " (" + error.category().name() + ":" +
             std::to_string(error.value()) + "))";
    case Kind::onMessage: return "onMessage(message: " + message + ")";
    case Kind::stopped: return "stopped";
    case Kind::onOpen: return "onOpen";
    case Kind::onClose: return "onClose";
  }
  return "unknown";
}

}  // namespace kestrom

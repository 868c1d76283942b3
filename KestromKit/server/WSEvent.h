#pragma once
// What the WebSocket server reports to its delegate: a plain value, made on the server's I/O
// thread (or, for `stopped`, on its "WSServer" queue) and handed over by const reference.

#include <memory>
#include <string>
#include <system_error>

namespace kestrom {

class WSConnection;

struct WSEvent {
  enum class Kind {
    started,    // the server listens; `port` says where
    onError,    // the server failed to start or run, or one connection failed
    onMessage,  // a connection received a text frame: `message`, `from`
    stopped,    // the listening server stopped (it restarts on the same port)
    onOpen,     // a connection opened
    onClose,    // a connection closed
  };

  Kind kind = Kind::stopped;
  unsigned port = 0;                    // started
  std::error_code error;                // onError
  std::string message;                  // onMessage
  std::shared_ptr<WSConnection> from;   // onMessage

  static WSEvent started(unsigned port);
  static WSEvent onError(std::error_code error);
  static WSEvent onMessage(std::string message, std::shared_ptr<WSConnection> from);
  static WSEvent stopped();
  static WSEvent onOpen();
  static WSEvent onClose();

  /// The event's text form for log lines: "started(port: 4242)", "onError(error: ...)",
  /// "onMessage(message: ...)", "stopped", "onOpen", "onClose".
  std::string description() const;
};

}  // namespace kestrom

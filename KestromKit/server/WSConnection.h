#pragma once
// One connection of the page to the WebSocket server, from the HTTP upgrade request to the close.
// Home: the server's one I/O thread (the socket's executor, its implicit strand). Owner: itself —
// every pending operation holds it, so it lives exactly as long as something is in flight; the
// server lists it only weakly.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestromKit/server/BeastNet.h"
#include "KestromKit/server/WSRefusalLog.h"
#include "KestromKit/server/WSWire.h"

namespace kestrom {

class WSConnection : public std::enable_shared_from_this<WSConnection> {
 public:
  /// One outgoing text, shared by every connection it is broadcast to.
  using Payload = std::shared_ptr<const std::string>;

  struct Limits {
    std::size_t maxMessageBytes;  // a longer inbound message closes the connection
    std::size_t maxQueuedBytes;   // a peer that lets more than this pile up is closed
  };

  /// How a connection reports to its server; all are called on the I/O thread.
  struct Callbacks {
    /// Decides on an upgrade from its Host and Origin (absent when not sent) and the local port.
    std::function<bool(std::optional<std::string_view> host, std::optional<std::string_view> origin,
                       unsigned localPort)>
        allowUpgrade;
    /// Decides on an upgrade from its cookies (every Cookie header joined by "; "; absent when
    /// none was sent): the page's session secret must be among them.
    std::function<bool(std::optional<std::string_view> cookies)> hasSession;
    /// Whether one more connection may open; an upgrade past the cap is refused with 503.
    std::function<bool()> hasRoom;
    /// The upgrade passed every check and its answer is about to be written: from here on the
    /// connection takes texts (they follow the answer), so a page whose handshake completed
    /// misses nothing sent after that.
    std::function<void(const std::shared_ptr<WSConnection>&)> accepting;
    /// The handshake completed.
    std::function<void(const std::shared_ptr<WSConnection>&)> opened;
    /// The handshake failed after `accepting`; nothing more is reported of it.
    std::function<void(WSConnection&)> abandoned;
    std::function<void(const std::shared_ptr<WSConnection>&, std::string text)> received;
    /// The peer closed: its close code (0 when it gave none) and reason (empty when none).
    std::function<void(WSConnection&, std::uint16_t code, std::string reason)> closed;
    /// The connection failed after it opened (peer vanished, timeout, oversize or bad frame).
    std::function<void(WSConnection&, const wsnet::error_code&)> failed;
    /// Shared by the connections of one start of the server, so that a flood of refusals is counted
    /// as one; made by the server with its I/O context.
    std::shared_ptr<WSRefusalLog> refusalLog;
  };

  /// `io` is the context the socket belongs to: the connection keeps it alive, so whoever holds
  /// the connection last (a WSEvent kept by the delegate) can let go of it after the server died.
  WSConnection(std::shared_ptr<wsnet::net::io_context> io, wsnet::tcp::socket&& socket,
               std::shared_ptr<const Callbacks> callbacks, Limits limits);
  WSConnection(const WSConnection&) = delete;
  WSConnection& operator=(const WSConnection&) = delete;

  /// Reads the upgrade request; everything after that follows on the I/O thread.
  void run();
  /// Sends one text frame; any thread, never waits for the peer. With nothing of this connection
  /// queued or being written the frame is written at once on the caller's thread; otherwise it
  /// queues behind the rest for the I/O thread. Does nothing once the connection has ended.
  void send(const Payload& text);
  /// True until its upgrade request has been read (I/O thread).
  bool awaitingRequest() const { return !requestRead_; }
  /// Ends the connection without reporting it (the server is stopping); any thread. `hard`
  /// closes the socket at once instead of sending the page a close frame first.
  void drop(bool hard = false);

 private:
  void doReadRequest();
  void onReadRequest(wsnet::error_code ec, std::size_t bytes);
  void refuse(wsnet::http::status status, unsigned version);
  void onRefused(wsnet::error_code ec, std::size_t bytes);
  void onAccept(wsnet::error_code ec);
  void doRead();
  void onRead(wsnet::error_code ec, std::size_t bytes);
  void onDrop(bool hard);
  void fail(wsnet::error_code ec, const char* where);
  void closeSocket();

  std::shared_ptr<wsnet::net::io_context> io_;  // first, so it is released last
  wsnet::websocket::stream<WSWire> ws_;
  wsnet::beast::flat_buffer buffer_;
  std::optional<wsnet::http::request_parser<wsnet::http::empty_body>> parser_;
  std::shared_ptr<wsnet::http::response<wsnet::http::string_body>> refusal_;
  std::shared_ptr<const Callbacks> callbacks_;
  Limits limits_;
  // Everything below is touched on the I/O thread only.
  bool requestRead_ = false; // the upgrade request came (or failed)
  bool accepting_ = false; // `accepting` was reported
  bool open_ = false;      // the handshake succeeded
  bool finished_ = false;  // close or failure was reported; nothing more is
  bool dropped_ = false;   // the server let go of it; nothing is reported
};

}  // namespace kestrom

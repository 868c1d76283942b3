#pragma once
// Test doubles for the WebSocket server: a real Beast client over loopback whose every wait has a
// deadline, a raw HTTP exchange for handshake checks, and a delegate that records events.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/server/BeastNet.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/server/WSServerDelegate.h"

namespace kestrom::test {

using namespace std::chrono_literals;

class WSTestClient {
 public:
  /// Each step (connect, read, write) waits up to `timeout`, as long as a plain build needs (the
  /// build's time factor stretches it in the sanitized trees).
  explicit WSTestClient(std::chrono::milliseconds timeout = 5s);
  ~WSTestClient();

  /// Upgrades on 127.0.0.1:`port`; `headers` are added to the request (e.g. Origin).
  /// `receiveBuffer` > 0 shrinks the socket's receive buffer first (a slow reader).
  bool connect(unsigned port, std::map<std::string, std::string> headers = {}, int receiveBuffer = 0);
  bool sendText(const std::string& text);
  bool sendBinary(const std::string& bytes);
  /// The next text frame, or none when the read failed or the deadline passed.
  std::optional<std::string> readText();
  /// Reads until the connection ends; the error it ended with, or none when it stayed open.
  std::optional<wsnet::error_code> readUntilEnd();
  /// The close code the server sent, once readUntilEnd() saw the close.
  unsigned closeCode() const { return static_cast<unsigned>(ws_.reason().code); }
  /// How many pongs the reads so far passed over.
  std::size_t pongsReceived() const { return pongs_; }
  void close();
  /// Writes raw bytes on the socket under the WebSocket layer.
  bool writeRaw(const std::string& bytes);
  /// Ends the TCP connection at once with a reset, no close frame.
  void vanish();

 private:
  template <class Start>
  std::optional<wsnet::error_code> runOne(Start start);

  std::chrono::milliseconds timeout_;
  wsnet::net::io_context io_;
  wsnet::websocket::stream<wsnet::beast::tcp_stream> ws_;
  wsnet::beast::flat_buffer buffer_;
  std::size_t pongs_ = 0;
};

/// Sends `request` to 127.0.0.1:`port` and returns everything read until the server closes or
/// the deadline passes.
std::string rawExchange(unsigned port, const std::string& request, std::chrono::milliseconds timeout = 5s);

/// A request that asks for a WebSocket upgrade, with optional Host, Origin and Cookie.
std::string upgradeRequest(std::optional<std::string> host, std::optional<std::string> origin,
                           std::optional<std::string> cookie = std::nullopt);

/// Keeps every event; tests wait on it with a deadline.
class RecordingDelegate final : public WSServerDelegate {
 public:
  void handle(const WSEvent& event) override;

  std::vector<WSEvent> events() const;
  std::size_t count(WSEvent::Kind kind) const;
  /// Waits until `count(kind) >= n`; false when the deadline (scaled for slow builds) passed first.
  bool waitForCount(WSEvent::Kind kind, std::size_t n, std::chrono::milliseconds timeout = 5s);
  /// The port of the n-th `started` (1-based), waiting for it as long as waitForCount.
  std::optional<unsigned> waitForStarted(std::size_t n = 1, std::chrono::milliseconds timeout = 5s);
  std::vector<std::string> messages() const;

  /// Runs inside handle(), on the server's thread, after the event is recorded.
  std::function<void(const WSEvent&)> onEvent;

 private:
  mutable std::mutex mutex_;  // guards events_
  std::condition_variable changed_;
  std::vector<WSEvent> events_;
};

/// A port that was free a moment ago (bound to 0 and released).
unsigned freePort();

/// A server started on a random port with a recording delegate; `port` is 0 if it never started.
struct RunningServer {
  std::shared_ptr<RecordingDelegate> delegate;
  std::shared_ptr<WSServer> server;
  unsigned port = 0;
};
RunningServer startServer(WSServerOptions options = {});

}  // namespace kestrom::test

#pragma once
// The host's WebSocket server: the page's one channel to the host. It listens on the loopback
// address, keeps the list of open connections, reports connection events and inbound text frames
// to its delegate, sends one text to every open connection, and restarts itself on its last port
// whenever its listening socket stops.
//
// Home: the serial queue "WSServer" (`queue()`) is where the connection list changes; every send
// holds the list's lock, which is how a send's hop onto "WSServer" is expressed (see `send`).
// Sockets live on one I/O thread of the server's own, which reports events to the delegate. Waits
// go one way: the I/O thread may wait on "WSServer" (to change the list), never the reverse.
// Owner: the kit, through a shared_ptr (make it with `create` or std::make_shared).

#include <chrono>
#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "KestromKit/server/WSServerDelegate.h"
#include "platform/dispatch/DetachedThreads.h"
#include "platform/dispatch/Queue.h"

namespace boost::asio {
class io_context;
}

namespace kestrom {

class SessionSecret;
class WSConnection;
class WSListener;

struct WSServerOptions {
  /// A longer inbound message closes its connection (the page never sends anything near it).
  std::size_t maxMessageBytes = std::size_t{16} << 20;
  /// A connection whose unsent texts pass this is closed: its peer has stopped reading.
  std::size_t maxQueuedBytes = std::size_t{64} << 20;
  /// Open connections at most; an upgrade past them is refused with 503 (each holds a descriptor,
  /// and a page needs one).
  std::size_t maxConnections = 256;
  /// Connections held at once that have not yet sent their upgrade request; a new one beyond it
  /// drops the oldest. Empty: sized at each start from the descriptor limit (see
  /// tcp::heldConnectionCap), at most 128.
  std::optional<std::size_t> maxPendingUpgrades;
  /// Pause before binding again after a failed start.
  std::chrono::milliseconds retryDelay{250};
  /// Failed binds of a fixed port (a restart) before the server gives up the port for a random one.
  int samePortRetries = 8;
  /// How long the teardown waits for the I/O thread to finish its last handlers before it stops it.
  std::chrono::milliseconds teardownWait{2000};
  /// The random port for a start with port 0; empty means uniform over 2846...65535.
  std::function<unsigned()> drawPort;
};

class WSServer : public std::enable_shared_from_this<WSServer> {
 public:
  static constexpr unsigned kLowestPort = 2846;
  static constexpr unsigned kHighestPort = 65535;

  explicit WSServer(WSServerOptions options = {});
  ~WSServer();
  WSServer(const WSServer&) = delete;
  WSServer& operator=(const WSServer&) = delete;

  static std::shared_ptr<WSServer> create(WSServerOptions options = {});

  /// Starts listening on `port` (0: a random free port from 2846 to 65535). While a server runs it
  /// only stops it; the stop then restarts it on the port it had. Any thread.
  void start(unsigned port);

  /// Closes the listening socket and every connection and ends the I/O thread, for good; sends
  /// after it go nowhere. The destructor does it too; the owner calls it when others may still
  /// hold the server (a queued task holding the outlet) so that no server thread outlives it.
  /// Any thread.
  void shutdown();

  /// Sends `text` as one text frame to every open connection, in the order they opened, and
  /// returns once each has written or queued it; any thread, "WSServer" included. Never waits for
  /// the peers: a connection with nothing queued writes the frame at once on the caller's thread
  /// (without blocking), one with texts waiting queues it behind them for the I/O thread.
  ///
  /// Sends are serialised with each other and with every change of the connection list, as a
  /// synchronous hop onto "WSServer" would serialise them, but by holding the list's lock on the
  /// caller's thread: a real hop costs two thread switches per frame and cut the outlet's
  /// throughput by a factor of five or more.
  void broadcast(std::shared_ptr<const std::string> text);
  void broadcast(std::string text);
  /// The same as `broadcast`: the outlet's name for it.
  void send(std::shared_ptr<const std::string> text) { broadcast(std::move(text)); }
  void send(std::string text) { broadcast(std::move(text)); }

  /// The serial queue "WSServer".
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }
  /// The port of the current or last start; 0 before the first.
  unsigned port() const;
  /// The open connections in the order they opened. Any thread.
  std::vector<std::shared_ptr<WSConnection>> connections() const;
  /// How many connections are open now. Any thread.
  std::size_t connectionCount() const;

  std::shared_ptr<WSServerDelegate> delegate() const;
  void setDelegate(std::weak_ptr<WSServerDelegate> delegate);

  /// The page origins that may open a connection (see LoopbackGuard::pageOrigins); until they are
  /// known only upgrades without an Origin are accepted.
  void setAllowedOrigins(std::vector<std::string> origins);
  std::vector<std::string> allowedOrigins() const;

  /// The per-launch secret an upgrade must carry as its "kestrom-session" cookie; refused with 403
  /// without it. Until one is set no cookie is asked for. Set it before `start`.
  void setSessionSecret(std::shared_ptr<const SessionSecret> session);

 private:
  unsigned drawPort() const;
  void beginStart(unsigned port, bool drawn);
  void retryStart(unsigned port, bool drawn);
  void requestStop();
  void postStop();  // with mutex_ held
  // On the I/O thread.
  void openListener(unsigned port, bool drawn);
  void onStartFailure(unsigned port, bool drawn, std::error_code error, bool portTaken);
  void onListenerFailed(std::error_code error);
  void stopListener();
  void onConnectionAccepting(const std::shared_ptr<WSConnection>& connection, std::uint64_t generation);
  void onConnectionOpened();
  void onConnectionClosed(WSConnection& connection, unsigned code, const std::string& reason);
  void onConnectionFailed(WSConnection& connection, std::error_code error);
  std::size_t removeConnection(WSConnection& connection);
  // On "WSServer".
  void onStopped();

  void raise(const WSEvent& event) const;

  const WSServerOptions options_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::shared_ptr<boost::asio::io_context> io_;
  std::shared_ptr<void> work_;  // keeps the I/O thread running until the teardown lets go
  dispatch::ThreadExit ioExit_;  // counts the I/O thread when the teardown cannot join it
  std::thread ioThread_;
  std::future<void> ioDone_;
  // Every connection that may still live, for the teardown. I/O thread only.
  std::shared_ptr<std::vector<std::weak_ptr<WSConnection>>> registry_;

  mutable std::mutex mutex_;  // guards everything down to the next comment
  unsigned port_ = 0;
  bool active_ = false;         // a start is under way or a listener runs
  bool stopRequested_ = false;  // a stop is posted and its restart has not happened yet
  bool shuttingDown_ = false;   // the destructor runs: no more starts
  std::weak_ptr<WSServerDelegate> delegate_;
  std::vector<std::string> allowedOrigins_;
  std::shared_ptr<const SessionSecret> session_;
  std::shared_ptr<WSListener> listener_;
  dispatch::WorkItem retry_;

  // I/O thread only.
  int startFailures_ = 0;
  std::uint64_t generation_ = 0;  // which listener's connections may still join the list

  // Changed only on "WSServer"; read by every send.
  mutable std::mutex connectionsMutex_;  // guards connections_
  std::vector<std::weak_ptr<WSConnection>> connections_;
};

}  // namespace kestrom

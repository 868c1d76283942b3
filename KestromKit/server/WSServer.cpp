#include "KestromKit/server/WSServer.h"

#include <pthread.h>

#include <algorithm>
#include <random>

#include "KestromKit/server/BeastNet.h"
#include "KestromKit/server/LoopbackGuard.h"
#include "KestromKit/server/SessionSecret.h"
#include "KestromKit/server/WSConnection.h"
#include "KestromKit/server/WSListener.h"
#include "KestromKit/base/Constants.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/log/RequestValue.h"
#include "platform/tcp/DescriptorLimit.h"

namespace kestrom {

namespace {

using namespace wsnet;

// Random ports drawn at once when the drawn one is taken, before the server slows to retryDelay.
constexpr int kImmediateRedraws = 16;

// Connections held at most while they have not sent their upgrade request, whatever the
// descriptor limit.
constexpr std::size_t kMostPendingUpgrades = 128;

const log::Logger& serverLog() { return Constants::log().webSocketServer; }

std::string describe(const std::error_code& error) {
  return error.message() + " (" + error.category().name() + ":" + std::to_string(error.value()) + ")";
}

// A page that goes away without the closing handshake (a reload, a closed window, an ended web
// process) ends its stream: the client left, nothing failed on our side.
bool isClientLeaving(const std::error_code& error) {
  for (const error_code& left : {error_code(net::error::eof), error_code(net::error::connection_reset),
                                 error_code(net::error::broken_pipe), error_code(websocket::error::closed)}) {
    if (error == static_cast<std::error_code>(left)) return true;
  }
  return false;
}

// Runs the context's handlers with `run` (run or poll) until it returns on its own.
template <class Run>
void runHandlers(const Run& run) {
  for (;;) {
    try {
      run();
      return;  // out of work (the teardown let go) or stopped
    } catch (const std::exception& e) {
      // A throwing handler must not end the host's channel to the page.
      serverLog().fault("Unexpected exception on the WebSocket thread: %s", e.what());
    }
  }
}

void runIO(net::io_context& io) {
  pthread_setname_np(pthread_self(), "WSServer I/O");
  runHandlers([&] { io.run(); });
}

}  // namespace

WSServer::WSServer(WSServerOptions options)
    : options_(std::move(options)),
      queue_(dispatch::makeSerialQueue("WSServer")),
      io_(std::make_shared<net::io_context>(1)),
      work_(std::make_shared<net::executor_work_guard<net::io_context::executor_type>>(io_->get_executor())),
      registry_(std::make_shared<std::vector<std::weak_ptr<WSConnection>>>()) {
  std::packaged_task<void()> task([io = io_, exit = ioExit_] { runIO(*io); });
  ioDone_ = task.get_future();
  ioThread_ = std::thread(std::move(task));
}

WSServer::~WSServer() { shutdown(); }

void WSServer::shutdown() {
  std::shared_ptr<WSListener> listener;
  {
    std::lock_guard lock(mutex_);
    if (shuttingDown_) return;
    shuttingDown_ = true;
    retry_.cancel();
    listener = std::exchange(listener_, nullptr);
  }
  // Sockets are closed on the I/O thread, where they live; their handlers then finish with
  // operation_aborted and the thread runs out of work. Connections still held elsewhere (in a
  // delegate's WSEvent) keep the io_context alive, so they can be let go of later.
  net::post(*io_, [listener = std::move(listener), registry = registry_]() mutable {
    if (listener) listener->close(true);
    listener.reset();
    for (const auto& weak : *registry)
      if (auto connection = weak.lock()) connection->drop(true);
  });
  work_.reset();
  // The last owner may let go on the I/O thread, or on "WSServer" while the I/O thread waits on
  // it; waiting there would wait on ourselves. The thread keeps the io_context alive and ends alone.
  if (std::this_thread::get_id() == ioThread_.get_id() || queue_->isCurrent()) {
    ioExit_.detach(ioThread_);
    return;
  }
  if (ioDone_.wait_for(options_.teardownWait) == std::future_status::ready) {
    ioThread_.join();
    return;
  }
  serverLog().error("WebSocket thread did not finish its work in time; stopping it");
  io_->stop();
  ioThread_.join();
  // The stopped thread may have left the closing above unrun, and with it the handlers that end
  // the sockets; those hold the listener and the connections, which hold the io_context, so none
  // of them would ever go. The thread is gone: nothing else touches the sockets now.
  io_->restart();
  runHandlers([&] { io_->poll(); });
}

std::shared_ptr<WSServer> WSServer::create(WSServerOptions options) {
  return std::make_shared<WSServer>(std::move(options));
}

unsigned WSServer::drawPort() const {
  if (options_.drawPort) return options_.drawPort();
  std::random_device source;
  return std::uniform_int_distribution<unsigned>(kLowestPort, kHighestPort)(source);
}

void WSServer::start(unsigned port) {
  {
    std::lock_guard lock(mutex_);
    if (shuttingDown_) return;
    if (active_) return postStop();
    active_ = true;
  }
  bool drawn = port == 0;
  beginStart(drawn ? drawPort() : port, drawn);
}

void WSServer::beginStart(unsigned port, bool drawn) {
  {
    std::lock_guard lock(mutex_);
    port_ = port;
  }
  serverLog().info("Starting WSServer on port: %d", port);
  net::post(*io_, [weak = weak_from_this(), port, drawn] {
    if (auto self = weak.lock()) self->openListener(port, drawn);
  });
}

void WSServer::retryStart(unsigned port, bool drawn) {
  {
    std::lock_guard lock(mutex_);
    if (!active_ || stopRequested_ || shuttingDown_) return;
  }
  beginStart(port, drawn);
}

void WSServer::requestStop() {
  std::lock_guard lock(mutex_);
  if (active_ && !shuttingDown_) postStop();
}

void WSServer::postStop() {
  if (stopRequested_) return;
  stopRequested_ = true;
  net::post(*io_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->stopListener();
  });
}

void WSServer::openListener(unsigned port, bool drawn) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  {
    std::lock_guard lock(mutex_);
    if (stopRequested_ || shuttingDown_) return;  // the posted stop restarts it
  }
  const std::uint64_t generation = ++generation_;
  std::weak_ptr<WSServer> weak = weak_from_this();

  auto callbacks = std::make_shared<WSConnection::Callbacks>();
  callbacks->refusalLog = std::make_shared<WSRefusalLog>(*io_);
  callbacks->allowUpgrade = [weak](std::optional<std::string_view> host, std::optional<std::string_view> origin,
                                   unsigned localPort) {
    auto self = weak.lock();
    return self && LoopbackGuard::allows(host, origin, localPort, self->allowedOrigins());
  };
  callbacks->hasSession = [weak](std::optional<std::string_view> cookies) {
    auto self = weak.lock();
    if (!self) return false;
    std::shared_ptr<const SessionSecret> session;
    {
      std::lock_guard lock(self->mutex_);
      session = self->session_;
    }
    return !session || session->admits(cookies);
  };
  callbacks->hasRoom = [weak] {
    auto self = weak.lock();
    return self && self->connectionCount() < self->options_.maxConnections;
  };
  callbacks->accepting = [weak, generation](const std::shared_ptr<WSConnection>& connection) {
    if (auto self = weak.lock()) {
      self->onConnectionAccepting(connection, generation);
    } else {
      connection->drop();
    }
  };
  callbacks->opened = [weak](const std::shared_ptr<WSConnection>&) {
    if (auto self = weak.lock()) self->onConnectionOpened();
  };
  callbacks->abandoned = [weak](WSConnection& connection) {
    if (auto self = weak.lock()) self->removeConnection(connection);
  };
  callbacks->received = [weak](const std::shared_ptr<WSConnection>& connection, std::string text) {
    if (auto self = weak.lock()) self->raise(WSEvent::onMessage(std::move(text), connection));
  };
  callbacks->closed = [weak](WSConnection& connection, std::uint16_t code, std::string reason) {
    if (auto self = weak.lock()) self->onConnectionClosed(connection, code, reason);
  };
  callbacks->failed = [weak](WSConnection& connection, const error_code& ec) {
    if (auto self = weak.lock()) self->onConnectionFailed(connection, ec);
  };

  auto listener = std::make_shared<WSListener>(
      io_, registry_, std::move(callbacks), WSConnection::Limits{options_.maxMessageBytes, options_.maxQueuedBytes},
      options_.maxPendingUpgrades ? *options_.maxPendingUpgrades : kestrom::tcp::heldConnectionCap(kMostPendingUpgrades),
      [weak](const error_code& ec) {
        if (auto self = weak.lock()) self->onListenerFailed(ec);
      });
  if (error_code ec = listener->open(port)) {
    onStartFailure(port, drawn, ec, isError(ec, errors::addressInUse));
    return;
  }
  std::shared_ptr<WSListener> previous;
  {
    std::lock_guard lock(mutex_);
    // The teardown may have taken the listener slot while this one was being opened; installed
    // now it would never be closed, and its pending accept would keep it and the I/O thread
    // alive for good. It has accepted nothing yet: letting go of it closes its socket.
    if (shuttingDown_) return;
    previous = std::exchange(listener_, listener);
  }
  if (previous) previous->close();
  startFailures_ = 0;
  serverLog().info("Server started on port: %d", port);
  raise(WSEvent::started(port));
  listener->run();
}

void WSServer::onStartFailure(unsigned port, bool drawn, std::error_code error, bool portTaken) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  if (portTaken) {
    serverLog().info("Starting the server failed due to port already taken. Retrying...");
  } else {
    serverLog().error("Restarting server since server encountered an unrecoverable error: %s", describe(error));
  }
  raise(WSEvent::onError(error));

  // A drawn port that is taken is simply drawn again. A restart keeps its port for a while, since
  // the page knows that one; when it stays unavailable the server moves to a random port and the
  // `started` event tells the page where.
  ++startFailures_;
  bool redraw = drawn || startFailures_ > options_.samePortRetries;
  unsigned next = redraw ? drawPort() : port;
  if (redraw && portTaken && startFailures_ <= kImmediateRedraws) {
    beginStart(next, true);
    return;
  }
  std::lock_guard lock(mutex_);
  if (stopRequested_ || shuttingDown_) return;
  retry_ = queue_->asyncAfter(options_.retryDelay, [weak = weak_from_this(), next, redraw] {
    if (auto self = weak.lock()) self->retryStart(next, redraw);
  });
}

void WSServer::onListenerFailed(std::error_code error) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  serverLog().error("Restarting server since server encountered an unrecoverable error: %s", describe(error));
  raise(WSEvent::onError(error));
  requestStop();
}

void WSServer::stopListener() {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  std::shared_ptr<WSListener> listener;
  {
    std::lock_guard lock(mutex_);
    retry_.cancel();
    listener = std::exchange(listener_, nullptr);
  }
  ++generation_;  // connections of the old listener that open now are dropped, not listed
  if (listener) listener->close();
  serverLog().info("Server stopped");
  queue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->onStopped();
  });
}

void WSServer::onStopped() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  unsigned port = 0;
  {
    std::lock_guard lock(mutex_);
    if (shuttingDown_) return;
    active_ = false;
    stopRequested_ = false;
    port = port_;
  }
  raise(WSEvent::stopped());
  {
    std::lock_guard lock(connectionsMutex_);
    connections_.clear();
  }
  start(port);
}

void WSServer::onConnectionAccepting(const std::shared_ptr<WSConnection>& connection, std::uint64_t generation) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  if (generation != generation_) {
    connection->drop();
    return;
  }
  // Listed before the handshake's answer goes out: once the page has it, every text reaches it.
  queue_->sync([&] {
    std::lock_guard lock(connectionsMutex_);
    connections_.push_back(connection);
  });
}

void WSServer::onConnectionOpened() {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  serverLog().debug("Connection opened! - open connections: %d", connectionCount());
  raise(WSEvent::onOpen());
}

void WSServer::onConnectionClosed(WSConnection& connection, unsigned code, const std::string& reason) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  serverLog().debug("Connection did close with code: %d and reason: %s", code,
                    reason.empty() ? std::string("nil") : log::requestValue(reason));
  std::size_t count = removeConnection(connection);
  serverLog().debug("Connection closed! - open connections: %d", count);
  raise(WSEvent::onClose());
}

void WSServer::onConnectionFailed(WSConnection& connection, std::error_code error) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  // Only this connection ends; the others and the listening socket carry on.
  if (isClientLeaving(error)) {
    serverLog().info("Client left: %s", describe(error));
  } else {
    serverLog().error("Failed with error: %s", describe(error));
  }
  raise(WSEvent::onError(error));
  std::size_t count = removeConnection(connection);
  serverLog().debug("Connection closed! - open connections: %d", count);
  raise(WSEvent::onClose());
}

std::size_t WSServer::removeConnection(WSConnection& connection) {
  return queue_->syncValue([&] {
    std::lock_guard lock(connectionsMutex_);
    std::erase_if(connections_, [&](const std::weak_ptr<WSConnection>& weak) {
      auto listed = weak.lock();
      return !listed || listed.get() == &connection;
    });
    return connections_.size();
  });
}

void WSServer::broadcast(std::shared_ptr<const std::string> text) {
  std::lock_guard lock(connectionsMutex_);
  for (const auto& weak : connections_)
    if (auto connection = weak.lock()) connection->send(text);
}

void WSServer::broadcast(std::string text) { broadcast(std::make_shared<const std::string>(std::move(text))); }

unsigned WSServer::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

std::vector<std::shared_ptr<WSConnection>> WSServer::connections() const {
  std::lock_guard lock(connectionsMutex_);
  std::vector<std::shared_ptr<WSConnection>> open;
  for (const auto& weak : connections_)
    if (auto connection = weak.lock()) open.push_back(std::move(connection));
  return open;
}

std::size_t WSServer::connectionCount() const { return connections().size(); }

std::shared_ptr<WSServerDelegate> WSServer::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void WSServer::setDelegate(std::weak_ptr<WSServerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void WSServer::setAllowedOrigins(std::vector<std::string> origins) {
  std::lock_guard lock(mutex_);
  allowedOrigins_ = std::move(origins);
}

std::vector<std::string> WSServer::allowedOrigins() const {
  std::lock_guard lock(mutex_);
  return allowedOrigins_;
}

void WSServer::setSessionSecret(std::shared_ptr<const SessionSecret> session) {
  std::lock_guard lock(mutex_);
  session_ = std::move(session);
}

void WSServer::raise(const WSEvent& event) const {
  if (auto receiver = delegate()) receiver->handle(event);
}

}  // namespace kestrom

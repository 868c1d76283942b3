#include "KestromKit/server/WSListener.h"

#include <algorithm>
#include <cerrno>

#include "KestromKit/base/Constants.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/tcp/Result.h"

namespace kestrom {

namespace {

using namespace wsnet;

// Errors that concern one peer (it left before we took it) or a passing shortage: the server
// keeps listening. Anything else means the listening socket itself is broken.
bool isPeerError(const error_code& ec) { return isErrno(ec, {ECONNABORTED, ECONNRESET, EPROTO, EPERM}); }

bool isShortage(const error_code& ec) { return isErrno(ec, {EMFILE, ENFILE, ENOBUFS, ENOMEM}); }

}  // namespace

WSListener::WSListener(std::shared_ptr<net::io_context> io, std::shared_ptr<Registry> registry,
                       std::shared_ptr<const WSConnection::Callbacks> callbacks, WSConnection::Limits limits,
                       std::size_t mostPending, std::function<void(const error_code&)> failed)
    : io_(std::move(io)), acceptor_(*io_), pause_(*io_), registry_(std::move(registry)), callbacks_(std::move(callbacks)),
      limits_(limits), mostPending_(std::max<std::size_t>(1, mostPending)), failed_(std::move(failed)) {}

error_code WSListener::open(unsigned port) {
  error_code ec;
  wsnet::tcp::endpoint endpoint(net::ip::address_v4::loopback(), static_cast<unsigned short>(port));
  acceptor_.open(endpoint.protocol(), ec);
  // Lets a restart bind again while old connections of the port linger in TIME_WAIT; on Linux it
  // never lets two listeners share the port, so a port in use still fails with address_in_use.
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    error_code ignored;
    acceptor_.close(ignored);
  }
  return ec;
}

void WSListener::run() { doAccept(); }

void WSListener::close(bool hard) {
  if (closed_ && !hard) return;
  closed_ = true;
  error_code ignored;
  acceptor_.close(ignored);
  pause_.cancel();
  callbacks_->refusalLog->stop();
  for (auto& weak : *registry_)
    if (auto connection = weak.lock()) connection->drop(hard);
}

void WSListener::doAccept() {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  // The server runs one I/O thread, which is the implicit strand of every connection. An explicit
  // strand each cost a fifth of the broadcast rate; give each socket net::make_strand(*io_) here
  // if the server ever runs more threads.
  reserve_.replenish();
  acceptor_.async_accept(io_->get_executor(), beast::bind_front_handler(&WSListener::onAccept, shared_from_this()));
}

void WSListener::onAccept(error_code ec, wsnet::tcp::socket socket) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  if (closed_) return;
  if (ec) {
    if (isError(ec, errors::aborted)) return;  // closed
    if (isPeerError(ec)) return doAccept();
    if (isShortage(ec)) {
      // Shed a connection that has said nothing yet, or take one from the backlog and close it,
      // and go on at once; pause only when neither helps.
      if (dropOldestPending() || reserve_.acceptAndClose(acceptor_.native_handle())) {
        net::post(io_->get_executor(), [self = shared_from_this()] {
          if (!self->closed_) self->doAccept();
        });
        return;
      }
      callbacks_->refusalLog->shortage.write(Constants::log().webSocketServer, log::Level::error,
                                             "Accepting a connection failed: %s",
                                             kestrom::tcp::SocketError{ec.value()}.localizedDescription());
      pause_.expires_after(kestrom::tcp::DescriptorReserve::kPause);
      pause_.async_wait([self = shared_from_this()](error_code waited) {
        if (!waited && !self->closed_) self->doAccept();
      });
      return;
    }
    if (failed_) failed_(ec);
    return;
  }
  // Replies are small and the page waits for them: send each at once instead of batching.
  error_code ignored;
  socket.set_option(wsnet::tcp::no_delay(true), ignored);
  std::erase_if(*registry_, [](const std::weak_ptr<WSConnection>& weak) { return weak.expired(); });
  std::erase_if(pending_, [](const std::weak_ptr<WSConnection>& weak) {
    auto connection = weak.lock();
    return !connection || !connection->awaitingRequest();
  });
  if (pending_.size() >= mostPending_) dropOldestPending();
  auto connection = std::make_shared<WSConnection>(io_, std::move(socket), callbacks_, limits_);
  registry_->push_back(connection);
  pending_.push_back(connection);
  connection->run();
  doAccept();
}

bool WSListener::dropOldestPending() {
  while (!pending_.empty()) {
    auto connection = pending_.front().lock();
    pending_.pop_front();
    if (connection && connection->awaitingRequest()) {
      Constants::log().webSocketServer.debug("Dropped the oldest connection still waiting for its upgrade request");
      connection->drop(true);
      return true;
    }
  }
  return false;
}

}  // namespace kestrom

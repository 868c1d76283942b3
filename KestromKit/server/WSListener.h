#pragma once
// The listening socket of one start of the WebSocket server: accepts on the loopback address and
// starts a WSConnection for each peer. Peers that have not yet sent their upgrade request are
// held only so many at once (the oldest dropped first), so idle connections cannot use up the
// process's descriptors; out of descriptors with nothing to shed, it stops accepting for a moment
// (logged at most once a second, in the refusal log of its start). A stop closes it for good and
// writes the counts that log keeps; the next start makes a new one.
// Home: the server's I/O thread. Owner: WSServer, and its own pending accept.

#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "KestromKit/server/BeastNet.h"
#include "KestromKit/server/WSConnection.h"
#include "platform/tcp/DescriptorLimit.h"

namespace kestrom {

class WSListener : public std::enable_shared_from_this<WSListener> {
 public:
  /// Every connection the server's listeners made and that may still live, shared by them all so
  /// the server's teardown reaches connections of earlier starts too. I/O thread only.
  using Registry = std::vector<std::weak_ptr<WSConnection>>;

  /// At most `mostPending` connections (at least 1) are held before their upgrade request.
  WSListener(std::shared_ptr<wsnet::net::io_context> io, std::shared_ptr<Registry> registry,
             std::shared_ptr<const WSConnection::Callbacks> callbacks, WSConnection::Limits limits,
             std::size_t mostPending, std::function<void(const wsnet::error_code&)> failed);

  /// Binds 127.0.0.1:`port` and listens; the error says why not (address_in_use when taken).
  wsnet::error_code open(unsigned port);
  /// Starts accepting.
  void run();
  /// Stops accepting and drops every connection in the registry; nothing of them is reported.
  /// `hard` closes their sockets at once (the server is going away for good).
  void close(bool hard = false);

 private:
  void doAccept();
  void onAccept(wsnet::error_code ec, wsnet::tcp::socket socket);
  /// Drops the oldest connection still waiting for its upgrade request; false when there is none.
  bool dropOldestPending();

  std::shared_ptr<wsnet::net::io_context> io_;  // first, so it is released last
  wsnet::tcp::acceptor acceptor_;
  wsnet::net::steady_timer pause_;  // waits out a shortage of descriptors or memory
  std::shared_ptr<Registry> registry_;
  std::shared_ptr<const WSConnection::Callbacks> callbacks_;
  WSConnection::Limits limits_;
  std::size_t mostPending_;
  std::function<void(const wsnet::error_code&)> failed_;
  std::deque<std::weak_ptr<WSConnection>> pending_;  // may still await their request, oldest first
  tcp::DescriptorReserve reserve_;
  bool closed_ = false;
};

}  // namespace kestrom

#include "KestromKit/server/WSConnection.h"

#include <chrono>

#include "KestromKit/base/Constants.h"
#include "KestromKit/server/HttpDate.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/log/RequestValue.h"

namespace kestrom {

namespace {

using namespace wsnet;

// A browser's upgrade request is well under 1 KiB; anything near this is not a browser.
constexpr std::uint32_t kMaxRequestHeadBytes = 8 * 1024;
// The whole upgrade request must arrive within this: a peer that idles or drips holds nothing long.
constexpr auto kRequestTimeout = std::chrono::seconds(2);
// Beast's suggested server handshake time limit, for writing the answer to the upgrade.
constexpr auto kHandshakeTimeout = std::chrono::seconds(30);

std::optional<std::string_view> fieldValue(const http::request<http::empty_body>& request, http::field name) {
  auto it = request.find(name);
  if (it == request.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

}  // namespace

WSConnection::WSConnection(std::shared_ptr<net::io_context> io, tcp::socket&& socket,
                           std::shared_ptr<const Callbacks> callbacks, Limits limits)
    : io_(std::move(io)), ws_(std::move(socket)), callbacks_(std::move(callbacks)), limits_(limits) {
  ws_.next_layer().setMaxQueuedBytes(limits_.maxQueuedBytes);
}

void WSConnection::run() {
  std::weak_ptr<WSConnection> weak = weak_from_this();
  ws_.next_layer().setOwner(weak);
  ws_.next_layer().setFailureHandler([weak](const error_code& ec) {
    if (auto self = weak.lock()) self->fail(ec, "write");
  });
  net::dispatch(ws_.get_executor(), beast::bind_front_handler(&WSConnection::doReadRequest, shared_from_this()));
}

void WSConnection::send(const Payload& text) { ws_.next_layer().sendText(text); }

void WSConnection::drop(bool hard) {
  net::post(ws_.get_executor(), beast::bind_front_handler(&WSConnection::onDrop, shared_from_this(), hard));
}

void WSConnection::doReadRequest() {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  parser_.emplace();
  parser_->header_limit(kMaxRequestHeadBytes);
  ws_.next_layer().stream().expires_after(kRequestTimeout);
  http::async_read(ws_.next_layer(), buffer_, *parser_,
                   beast::bind_front_handler(&WSConnection::onReadRequest, shared_from_this()));
}

void WSConnection::onReadRequest(error_code ec, std::size_t) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  requestRead_ = true;
  if (dropped_) return;
  if (ec) {
    // A peer that connects and leaves, or times out, gets nothing; a garbled request gets its 400.
    bool malformed = &ec.category() == &errors::needMore.category() && !isError(ec, errors::endOfStream) &&
                     !isError(ec, errors::partialMessage);
    if (!malformed) return fail(ec, "read upgrade request");
    return refuse(http::status::bad_request, 11);
  }
  const auto& request = parser_->get();
  if (!websocket::is_upgrade(request)) return refuse(http::status::bad_request, request.version());
  if (request.count(http::field::host) > 1 || request.count(http::field::origin) > 1)
    return refuse(http::status::bad_request, request.version());

  auto host = fieldValue(request, http::field::host);
  auto origin = fieldValue(request, http::field::origin);
  error_code portError;
  unsigned localPort = ws_.next_layer().stream().socket().local_endpoint(portError).port();
  if (portError || !callbacks_->allowUpgrade || !callbacks_->allowUpgrade(host, origin, localPort)) {
    callbacks_->refusalLog->otherSite.write(Constants::log().webSocketServer, log::Level::info,
                                            "Refused WebSocket upgrade with Host: %s, Origin: %s",
                                            host ? log::decodedRequestValue(*host) : std::string("(none)"),
                                            origin ? log::decodedRequestValue(*origin) : std::string("(none)"));
    return refuse(http::status::forbidden, request.version());
  }
  std::optional<std::string> cookies;
  for (auto [it, end] = request.equal_range(http::field::cookie); it != end; ++it)
    cookies = (cookies ? *cookies + "; " : std::string()) + std::string(it->value());
  if (callbacks_->hasSession && !callbacks_->hasSession(cookies)) {
    callbacks_->refusalLog->noCookie.write(Constants::log().webSocketServer, log::Level::info,
                                           "Refused WebSocket upgrade without the session cookie");
    return refuse(http::status::forbidden, request.version());
  }
  if (callbacks_->hasRoom && !callbacks_->hasRoom()) {
    callbacks_->refusalLog->noRoom.write(Constants::log().webSocketServer, log::Level::error,
                                         "Refused WebSocket upgrade: too many open connections");
    return refuse(http::status::service_unavailable, request.version());
  }

  ws_.next_layer().stream().expires_never();  // the WebSocket stream keeps its own deadlines
  auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
  // A quiet page is normal (nothing to say for minutes); pings tell a quiet page from a dead peer.
  timeouts.keep_alive_pings = true;
  ws_.set_option(timeouts);
  ws_.read_message_max(limits_.maxMessageBytes);
  // On the answer to the upgrade, and on the refusals the handshake writes itself.
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& response) { response.set(http::field::date, httpDate()); }));
  accepting_ = true;
  if (callbacks_->accepting) callbacks_->accepting(shared_from_this());
  ws_.async_accept(request, beast::bind_front_handler(&WSConnection::onAccept, shared_from_this()));
}

void WSConnection::refuse(http::status status, unsigned version) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  refusal_ = std::make_shared<http::response<http::string_body>>(status, version);
  refusal_->set(http::field::date, httpDate());
  refusal_->set(http::field::content_type, "text/plain");
  refusal_->keep_alive(false);
  refusal_->body() = std::string(http::obsolete_reason(status)) + "\n";
  refusal_->prepare_payload();
  // A HEAD gets the head alone, with the length its body would have had.
  if (parser_ && parser_->is_header_done() && parser_->get().method() == http::verb::head) refusal_->body().clear();
  ws_.next_layer().stream().expires_after(kHandshakeTimeout);
  http::async_write(ws_.next_layer(), *refusal_, beast::bind_front_handler(&WSConnection::onRefused, shared_from_this()));
}

void WSConnection::onRefused(error_code, std::size_t) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  error_code ignored;
  ws_.next_layer().stream().socket().shutdown(tcp::socket::shutdown_send, ignored);
  closeSocket();
}

void WSConnection::onAccept(error_code ec) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  if (dropped_) return;
  if (ec) return fail(ec, "accept");
  open_ = true;
  ws_.next_layer().open();
  buffer_.consume(buffer_.size());
  if (callbacks_->opened) callbacks_->opened(shared_from_this());
  if (dropped_) return;  // the server went away while this one opened
  doRead();
}

void WSConnection::doRead() {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  ws_.async_read(buffer_, beast::bind_front_handler(&WSConnection::onRead, shared_from_this()));
}

void WSConnection::onRead(error_code ec, std::size_t) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  if (dropped_ || finished_) return;
  if (isError(ec, errors::closed)) {
    finished_ = true;
    const auto& reason = ws_.reason();
    if (callbacks_->closed)
      callbacks_->closed(*this, static_cast<std::uint16_t>(reason.code), std::string(reason.reason.data(), reason.reason.size()));
    return;
  }
  if (ec) return fail(ec, "read");
  if (ws_.got_text() && callbacks_->received) {
    callbacks_->received(shared_from_this(), beast::buffers_to_string(buffer_.data()));
  }
  // Binary frames are not part of the channel and are dropped without a word.
  buffer_.consume(buffer_.size());
  doRead();
}

void WSConnection::onDrop(bool hard) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  if (dropped_ && !hard) return;
  dropped_ = true;
  ws_.next_layer().seal();  // the server let go: nothing more of its texts goes out
  if (!hard && open_ && !finished_ && ws_.next_layer().idle() && ws_.is_open()) {
    // Tell the page the server is going away; it reconnects once the server is back.
    ws_.async_close(websocket::close_code::going_away,
                    [self = shared_from_this()](error_code) { self->closeSocket(); });
  } else {
    closeSocket();  // a write is stuck or the handshake never finished: nothing to wait for
  }
}

void WSConnection::fail(error_code ec, const char* where) {
  KESTROM_ASSERT_ON_HOME(io_->get_executor().running_in_this_thread(), "the WebSocket I/O thread");
  if (finished_ || dropped_) return;
  finished_ = true;
  closeSocket();
  if (!open_) {
    // Never became a connection of the page: nothing to report beyond a trace.
    if (accepting_ && callbacks_->abandoned) callbacks_->abandoned(*this);
    if (!isError(ec, errors::aborted))
      Constants::log().webSocketServer.debug("WebSocket handshake ended (%s): %s", where, ec.message());
    return;
  }
  if (callbacks_->failed) callbacks_->failed(*this, ec);
}

void WSConnection::closeSocket() {
  ws_.next_layer().close();
  // Beast's keep-alive timer outlives a failed stream; a connection still held by an event would
  // keep the I/O thread busy for minutes with it. Turning the timeouts off cancels it.
  websocket::stream_base::timeout off{websocket::stream_base::none(), websocket::stream_base::none(), false};
  ws_.set_option(off);
}

}  // namespace kestrom

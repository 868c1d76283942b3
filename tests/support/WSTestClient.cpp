#include "tests/support/WSTestClient.h"

#include "tests/support/TimeFactor.h"

namespace kestrom::test {

using namespace wsnet;

WSTestClient::WSTestClient(std::chrono::milliseconds timeout) : timeout_(scaledWait(timeout)), ws_(io_) {
  ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
    if (kind == websocket::frame_type::pong) ++pongs_;
  });
}

WSTestClient::~WSTestClient() {
  error_code ignored;
  beast::get_lowest_layer(ws_).socket().close(ignored);
}

template <class Start>
std::optional<error_code> WSTestClient::runOne(Start start) {
  std::optional<error_code> result;
  start([&result](error_code ec, auto&&...) { result = ec; });
  io_.restart();
  io_.run_for(timeout_);
  if (!result) {
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().cancel(ignored);
    io_.restart();
    io_.run_for(std::chrono::seconds(1));
    return std::nullopt;
  }
  return result;
}

bool WSTestClient::connect(unsigned port, std::map<std::string, std::string> headers, int receiveBuffer) {
  auto& socket = beast::get_lowest_layer(ws_).socket();
  error_code ec;
  socket.open(tcp::v4(), ec);
  if (ec) return false;
  if (receiveBuffer > 0) socket.set_option(net::socket_base::receive_buffer_size(receiveBuffer), ec);
  tcp::endpoint endpoint(net::ip::address_v4::loopback(), static_cast<unsigned short>(port));
  auto connected = runOne([&](auto handler) { socket.async_connect(endpoint, handler); });
  if (!connected || *connected) return false;
  // A page's socket sends each message at once, as browsers do; with Nagle's algorithm a small
  // message behind an unacknowledged one would wait out the peer's delayed acknowledgement.
  socket.set_option(tcp::no_delay(true), ec);
  ws_.set_option(websocket::stream_base::decorator([headers](websocket::request_type& request) {
    for (const auto& [name, value] : headers) request.set(name, value);
  }));
  std::string host = "127.0.0.1:" + std::to_string(port);
  auto upgraded = runOne([&](auto handler) { ws_.async_handshake(host, "/", handler); });
  return upgraded && !*upgraded;
}

bool WSTestClient::sendText(const std::string& text) {
  ws_.text(true);
  auto result = runOne([&](auto handler) { ws_.async_write(net::buffer(text), handler); });
  return result && !*result;
}

bool WSTestClient::sendBinary(const std::string& bytes) {
  ws_.binary(true);
  auto result = runOne([&](auto handler) { ws_.async_write(net::buffer(bytes), handler); });
  return result && !*result;
}

std::optional<std::string> WSTestClient::readText() {
  buffer_.consume(buffer_.size());
  auto result = runOne([&](auto handler) { ws_.async_read(buffer_, handler); });
  if (!result || *result) return std::nullopt;
  return beast::buffers_to_string(buffer_.data());
}

std::optional<error_code> WSTestClient::readUntilEnd() {
  for (;;) {
    buffer_.consume(buffer_.size());
    auto result = runOne([&](auto handler) { ws_.async_read(buffer_, handler); });
    if (!result) return std::nullopt;
    if (*result) return result;
  }
}

void WSTestClient::close() {
  runOne([&](auto handler) { ws_.async_close(websocket::close_code::normal, handler); });
}

bool WSTestClient::writeRaw(const std::string& bytes) {
  auto& socket = beast::get_lowest_layer(ws_).socket();
  auto result = runOne([&](auto handler) { net::async_write(socket, net::buffer(bytes), handler); });
  return result && !*result;
}

void WSTestClient::vanish() {
  auto& socket = beast::get_lowest_layer(ws_).socket();
  error_code ignored;
  socket.set_option(net::socket_base::linger(true, 0), ignored);
  socket.close(ignored);
}

std::string rawExchange(unsigned port, const std::string& request, std::chrono::milliseconds timeout) {
  net::io_context io;
  tcp::socket socket(io);
  std::string received;
  tcp::endpoint endpoint(net::ip::address_v4::loopback(), static_cast<unsigned short>(port));
  socket.async_connect(endpoint, [&](error_code ec) {
    if (ec) return;
    net::async_write(socket, net::buffer(request), [&](error_code written, std::size_t) {
      if (written) return;
      net::async_read_until(socket, net::dynamic_buffer(received), "\r\n\r\n", [](error_code, std::size_t) {});
    });
  });
  io.run_for(timeout);
  return received;
}

std::string upgradeRequest(std::optional<std::string> host, std::optional<std::string> origin,
                           std::optional<std::string> cookie) {
  std::string request = "GET / HTTP/1.1\r\n";
  if (host) request += "Host: " + *host + "\r\n";
  request +=
      "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
      "Sec-WebSocket-Version: 13\r\n";
  if (origin) request += "Origin: " + *origin + "\r\n";
  if (cookie) request += "Cookie: " + *cookie + "\r\n";
  return request + "\r\n";
}

void RecordingDelegate::handle(const WSEvent& event) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  changed_.notify_all();
  if (onEvent) onEvent(event);
}

std::vector<WSEvent> RecordingDelegate::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::size_t RecordingDelegate::count(WSEvent::Kind kind) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& event : events_) n += event.kind == kind;
  return n;
}

bool RecordingDelegate::waitForCount(WSEvent::Kind kind, std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, scaledWait(timeout), [&] {
    std::size_t seen = 0;
    for (const auto& event : events_) seen += event.kind == kind;
    return seen >= n;
  });
}

std::optional<unsigned> RecordingDelegate::waitForStarted(std::size_t n, std::chrono::milliseconds timeout) {
  if (!waitForCount(WSEvent::Kind::started, n, timeout)) return std::nullopt;
  std::lock_guard lock(mutex_);
  std::size_t seen = 0;
  for (const auto& event : events_)
    if (event.kind == WSEvent::Kind::started && ++seen == n) return event.port;
  return std::nullopt;
}

std::vector<std::string> RecordingDelegate::messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  for (const auto& event : events_)
    if (event.kind == WSEvent::Kind::onMessage) texts.push_back(event.message);
  return texts;
}

unsigned freePort() {
  net::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  return acceptor.local_endpoint().port();
}

RunningServer startServer(WSServerOptions options) {
  RunningServer running;
  running.delegate = std::make_shared<RecordingDelegate>();
  running.server = WSServer::create(std::move(options));
  running.server->setDelegate(running.delegate);
  running.server->start(0);
  running.port = running.delegate->waitForStarted().value_or(0);
  return running;
}

}  // namespace kestrom::test

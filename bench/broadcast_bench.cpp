// How fast replies and notifications reach the page: encoded and broadcast through the outlet
// and the WebSocket server, against two plain Beast servers given the same, already encoded text:
// "sync" writes it from the sending thread (the floor: no thread hand-over at all), "async" posts
// it to an I/O thread where each connection keeps a queue with one write in flight (Beast's
// chat-multi example, the shape of our server before its texts left from the sending thread).
// Loopback clients read every frame; a run ends when each has all of them.
//
//   broadcast_bench [messages]     (default 50000 per run; each figure is the median of 5 runs)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/server/BeastNet.h"
#include "KestromKit/rpc/RPCMessage.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/server/WebAppRPCConnection.h"
#include "platform/log/Log.h"

namespace {

using namespace kestrom;
using namespace kestrom::wsnet;
using Clock = std::chrono::steady_clock;

/// Drops every log line: the bench measures the channel, not the log.
class QuietSink final : public log::Sink {
 public:
  void write(const log::Record&) override {}
};

/// A page stand-in: reads `expected` frames on a thread of its own.
class Reader {
 public:
  explicit Reader(unsigned port) : ws_(io_) {
    ws_.next_layer().connect(tcp::endpoint(net::ip::address_v4::loopback(), static_cast<unsigned short>(port)));
    ws_.next_layer().set_option(tcp::no_delay(true));
    ws_.handshake("127.0.0.1:" + std::to_string(port), "/");
  }
  void start(std::size_t expected) {
    thread_ = std::thread([this, expected] {
      beast::flat_buffer buffer;
      for (std::size_t i = 0; i < expected; ++i) {
        ws_.read(buffer);
        buffer.consume(buffer.size());
      }
    });
  }
  void join() { thread_.join(); }

 private:
  net::io_context io_;
  websocket::stream<tcp::socket> ws_;
  std::thread thread_;
};

/// Counts opened connections so a run starts only when every reader is listed.
class OpenCounter final : public WSServerDelegate {
 public:
  void handle(const WSEvent& event) override {
    std::lock_guard lock(mutex_);
    if (event.kind == WSEvent::Kind::started) port_ = event.port;
    if (event.kind == WSEvent::Kind::onOpen) ++open_;
    changed_.notify_all();
  }
  unsigned waitForPort() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return port_ != 0; });
    return port_;
  }
  void waitForOpen(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_ >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned port_ = 0;
  std::size_t open_ = 0;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

/// Messages per second through WebAppRPCConnection: encoding, the connection list's lock, and each
/// connection's write from the sending thread (or its queue on the I/O thread when a reader lags).
double throughOutlet(std::size_t clients, std::size_t messages, const std::function<void(RPCInterface&)>& sendOne) {
  auto counter = std::make_shared<OpenCounter>();
  auto server = WSServer::create();
  server->setDelegate(counter);
  server->start(0);
  unsigned port = counter->waitForPort();
  std::vector<std::unique_ptr<Reader>> readers;
  for (std::size_t i = 0; i < clients; ++i) readers.push_back(std::make_unique<Reader>(port));
  counter->waitForOpen(clients);
  WebAppRPCConnection rpc(server, false, false);

  for (auto& reader : readers) reader->start(messages);
  auto begin = Clock::now();
  for (std::size_t i = 0; i < messages; ++i) sendOne(rpc);
  for (auto& reader : readers) reader->join();
  return static_cast<double>(messages) / seconds(Clock::now() - begin);
}

/// Messages per second with plain Beast: one server stream per client, written synchronously
/// from the sending thread with the text encoded once beforehand.
double beastSync(std::size_t clients, std::size_t messages, const std::string& text) {
  net::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  unsigned port = acceptor.local_endpoint().port();
  std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> streams;
  std::thread accepting([&] {
    for (std::size_t i = 0; i < clients; ++i) {
      auto ws = std::make_unique<websocket::stream<tcp::socket>>(acceptor.accept());
      ws->next_layer().set_option(tcp::no_delay(true));
      ws->accept();
      ws->text(true);
      streams.push_back(std::move(ws));
    }
  });
  std::vector<std::unique_ptr<Reader>> readers;
  for (std::size_t i = 0; i < clients; ++i) readers.push_back(std::make_unique<Reader>(port));
  accepting.join();

  for (auto& reader : readers) reader->start(messages);
  auto begin = Clock::now();
  for (std::size_t i = 0; i < messages; ++i)
    for (auto& ws : streams) ws->write(net::buffer(text));
  for (auto& reader : readers) reader->join();
  return static_cast<double>(messages) / seconds(Clock::now() - begin);
}

/// One connection of the chat-multi style server: a queue with one write in flight.
class ChatSession : public std::enable_shared_from_this<ChatSession> {
 public:
  explicit ChatSession(tcp::socket socket) : ws_(std::move(socket)) {}
  websocket::stream<tcp::socket>& stream() { return ws_; }
  void send(std::shared_ptr<const std::string> text) {
    net::post(ws_.get_executor(), [self = shared_from_this(), text = std::move(text)]() mutable {
      self->queue_.push_back(std::move(text));
      if (self->queue_.size() == 1) self->doWrite();
    });
  }

 private:
  void doWrite() {
    ws_.async_write(net::buffer(*queue_.front()), [self = shared_from_this()](error_code ec, std::size_t) {
      if (ec) return;
      self->queue_.pop_front();
      if (!self->queue_.empty()) self->doWrite();
    });
  }
  websocket::stream<tcp::socket> ws_;
  std::deque<std::shared_ptr<const std::string>> queue_;
};

/// Messages per second with Beast's chat-multi shape: posted per connection to one I/O thread.
double beastAsync(std::size_t clients, std::size_t messages, const std::string& text) {
  net::io_context io(1);
  tcp::acceptor acceptor(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  unsigned port = acceptor.local_endpoint().port();
  std::vector<std::shared_ptr<ChatSession>> sessions;
  std::thread accepting([&] {
    for (std::size_t i = 0; i < clients; ++i) {
      auto session = std::make_shared<ChatSession>(acceptor.accept());
      session->stream().next_layer().set_option(tcp::no_delay(true));
      session->stream().accept();
      session->stream().text(true);
      sessions.push_back(std::move(session));
    }
  });
  std::vector<std::unique_ptr<Reader>> readers;
  for (std::size_t i = 0; i < clients; ++i) readers.push_back(std::make_unique<Reader>(port));
  accepting.join();
  auto work = net::make_work_guard(io);
  std::thread ioThread([&] { io.run(); });

  auto payload = std::make_shared<const std::string>(text);
  for (auto& reader : readers) reader->start(messages);
  auto begin = Clock::now();
  for (std::size_t i = 0; i < messages; ++i)
    for (auto& session : sessions) session->send(payload);
  for (auto& reader : readers) reader->join();
  double rate = static_cast<double>(messages) / seconds(Clock::now() - begin);
  work.reset();
  io.stop();
  ioThread.join();
  return rate;
}

// Thread hand-overs make single runs swing widely on a shared machine: report the median.
double medianOf5(const std::function<double()>& run) {
  std::vector<double> rates;
  for (int i = 0; i < 5; ++i) rates.push_back(run());
  std::sort(rates.begin(), rates.end());
  return rates[2];
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t messages = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50000;
  log::installSink(std::make_shared<QuietSink>());

  struct Kind {
    const char* name;
    RPCMessage message;
  };
  const Kind kinds[] = {
      {"/ping result", RPC::Response::emptyResult(RPC::Response::Case::miscPing, "1")},
      {"/hub/didReceiveMessage",
       RPC::Notification::make<RPC::Notification::Case::hubDidReceiveMessage>(
           {.id = "hub-1", .message = "AAECAwQFBgcICQoLDA0O"})},  // 20 bytes of message text
  };

  std::printf("%zu messages per run, median of 5 runs\n", messages);
  std::printf("%-24s %7s %13s %13s %13s %11s %11s\n", "message", "clients", "outlet msg/s", "sync msg/s",
              "async msg/s", "sync/outlet", "async/outlet");
  for (const auto& kind : kinds) {
    const std::string text = RPC::messageFrame(kind.message).value();
    for (std::size_t clients : {1u, 4u}) {
      double outlet = medianOf5([&] {
        return throughOutlet(clients, messages, [&](RPCInterface& rpc) {
          if (const RPC::Response* response = kind.message.response()) {
            rpc.send(*response);  // encodes every time, as a handler's reply would
          } else {
            rpc.send(kind.message);
          }
        });
      });
      double sync = medianOf5([&] { return beastSync(clients, messages, text); });
      double async = medianOf5([&] { return beastAsync(clients, messages, text); });
      std::printf("%-24s %7zu %13.0f %13.0f %13.0f %10.2fx %10.2fx%s\n", kind.name, clients, outlet, sync, async,
                  sync / outlet, async / outlet,
                  clients == 4 ? (outlet >= async ? "  (goal outlet >= async: met)" : "  (goal outlet >= async: missed)")
                               : "");
    }
  }
  return 0;
}

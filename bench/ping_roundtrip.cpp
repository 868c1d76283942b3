// Round trips of "/ping" through the whole headless host (a child process on its own home folder),
// beside a bare Beast WebSocket echo server in this process on a thread of its own. One client
// code drives both with the same frame, one request in flight at a time. Two more echo servers
// hand each frame to another thread and back, to show what a hand-over costs on its own: through
// the main queue on a GLib loop (the host's one hop: it reads on its I/O thread and answers from
// the main queue), and through a plain Asio post, to tell the price of the mechanism from the
// price of waking another thread. All are measured in alternating blocks so that a busy machine
// slows each alike.
//
//   ping_roundtrip [round trips] [warm-up]     (defaults 20000 and 2000, for each server)

#include <glib.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/server/BeastNet.h"
#include "KestromKit/model/Coding.h"
#include "platform/dispatch/Queue.h"
#include "tests/support/WSTestClient.h"
#include "tests/integration/HostProcess.h"

namespace {

using namespace kestrom;
using namespace kestrom::wsnet;
using Clock = std::chrono::steady_clock;

class EchoSession;
/// Carries a received frame back to its session; empty for the bare echo, which writes at once.
using Relay = std::function<void(std::shared_ptr<EchoSession>, std::string)>;

/// One echoing connection: every text frame goes back unchanged.
class EchoSession : public std::enable_shared_from_this<EchoSession> {
 public:
  EchoSession(tcp::socket socket, Relay relay) : ws_(std::move(socket)), relay_(std::move(relay)) {}

  void run() {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.async_accept(beast::bind_front_handler(&EchoSession::onAccept, shared_from_this()));
  }

  /// From any thread: writes `text` on the session's I/O thread.
  void reply(std::string text) {
    net::post(ws_.get_executor(), [self = shared_from_this(), text = std::move(text)]() mutable {
      self->outbox_.push_back(std::move(text));
      if (self->outbox_.size() == 1) self->doWrite();
    });
  }

 private:
  void onAccept(error_code ec) {
    if (!ec) doRead();
  }
  void doRead() { ws_.async_read(buffer_, beast::bind_front_handler(&EchoSession::onRead, shared_from_this())); }
  void onRead(error_code ec, std::size_t) {
    if (ec) return;
    ws_.text(true);
    if (!relay_) {
      ws_.async_write(buffer_.data(), beast::bind_front_handler(&EchoSession::onBareWrite, shared_from_this()));
      return;
    }
    relay_(shared_from_this(), beast::buffers_to_string(buffer_.data()));
    buffer_.consume(buffer_.size());
    doRead();
  }
  void onBareWrite(error_code ec, std::size_t) {
    if (ec) return;
    buffer_.consume(buffer_.size());
    doRead();
  }
  void doWrite() {
    ws_.async_write(net::buffer(outbox_.front()), beast::bind_front_handler(&EchoSession::onWrite, shared_from_this()));
  }
  void onWrite(error_code ec, std::size_t) {
    if (ec) return;
    outbox_.pop_front();
    if (!outbox_.empty()) doWrite();
  }

  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  Relay relay_;
  std::deque<std::string> outbox_;
};

/// Beast's own asynchronous echo on loopback, one I/O thread; with a relay, frames take a detour.
class EchoServer {
 public:
  explicit EchoServer(Relay relay = {})
      : relay_(std::move(relay)), acceptor_(io_, tcp::endpoint(net::ip::address_v4::loopback(), 0)) {
    doAccept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~EchoServer() {
    io_.stop();
    thread_.join();
  }
  unsigned port() const { return acceptor_.local_endpoint().port(); }

 private:
  void doAccept() {
    acceptor_.async_accept([this](error_code ec, tcp::socket socket) {
      if (!ec) std::make_shared<EchoSession>(std::move(socket), relay_)->run();
      doAccept();
    });
  }

  Relay relay_;
  net::io_context io_{1};
  tcp::acceptor acceptor_;
  std::thread thread_;
};

/// GLib's default main context iterated on a thread of its own, as the host's main thread does.
class MainLoopThread {
 public:
  MainLoopThread() : loop_(g_main_loop_new(nullptr, FALSE)), thread_([this] { g_main_loop_run(loop_); }) {}
  ~MainLoopThread() {
    while (!g_main_loop_is_running(loop_)) std::this_thread::yield();
    g_main_loop_quit(loop_);
    thread_.join();
    g_main_loop_unref(loop_);
  }

 private:
  GMainLoop* loop_;
  std::thread thread_;
};

/// An Asio I/O context run on a thread of its own.
class AsioThread {
 public:
  AsioThread() : work_(net::make_work_guard(io_)), thread_([this] { io_.run(); }) {}
  ~AsioThread() {
    work_.reset();
    thread_.join();
  }
  net::io_context& io() { return io_; }

 private:
  net::io_context io_{1};
  net::executor_work_guard<net::io_context::executor_type> work_;
  std::thread thread_;
};

/// One page connection sending pings one at a time.
class Pinger {
 public:
  /// `cookie` ("kestrom-session=…") for the host, which refuses upgrades without its secret.
  Pinger(const char* name, unsigned port, const std::string& cookie = {})
      : name_(name), connected_(client_.connect(port, cookie.empty() ? std::map<std::string, std::string>{}
                                                                     : std::map<std::string, std::string>{{"Cookie", cookie}})) {}
  bool connected() const { return connected_; }
  const char* name() const { return name_; }

  /// Sends one "/ping" and waits for the frame carrying its id; notifications on the way are
  /// skipped. The reply, or none when the connection failed or stayed quiet past the deadline.
  std::optional<std::string> ping() {
    std::string id = std::to_string(nextId_++);
    std::string frame = R"({"id":")" + id + R"(","method":"/ping","params":{"values":{}},"jsonrpc":"2.0"})";
    std::string marker = R"("id":")" + id + '"';
    if (!client_.sendText(frame)) return std::nullopt;
    while (auto text = client_.readText())
      if (text->find(marker) != std::string::npos) return text;
    return std::nullopt;
  }

  /// `count` timed round trips, latencies in microseconds appended; false when one failed.
  bool measure(std::size_t count) {
    auto begin = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
      auto sent = Clock::now();
      if (!ping()) return false;
      latencies_.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    elapsed_ += Clock::now() - begin;
    return true;
  }

  void report() {
    double perSecond = latencies_.size() / std::chrono::duration<double>(elapsed_).count();
    std::printf("%-20s %10.0f %10.1f %10.1f %10.1f %10.1f\n", name_, perSecond, percentile(0.5), percentile(0.9),
                percentile(0.99), percentile(1));
  }
  /// The latency below which the fraction `q` of the round trips stayed, in microseconds.
  double percentile(double q) {
    if (!std::is_sorted(latencies_.begin(), latencies_.end())) std::sort(latencies_.begin(), latencies_.end());
    auto index = std::min(latencies_.size() - 1, static_cast<std::size_t>(q * latencies_.size()));
    return latencies_[index];
  }

 private:
  const char* name_;
  test::WSTestClient client_;
  bool connected_;
  std::size_t nextId_ = 0;
  std::vector<double> latencies_;
  Clock::duration elapsed_{};
};

}  // namespace

int main(int argc, char** argv) {
  std::size_t trips = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  std::size_t warmUp = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000;
  constexpr std::size_t kBlocks = 10;
  trips = std::max(kBlocks, trips);

  test::TemporaryHome home;
  test::HostProcess host(home.path);
  if (!host.running()) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.errorOutput().c_str());
    return 1;
  }
  MainLoopThread mainLoop;
  auto main = dispatch::mainQueue();
  EchoServer bare;
  EchoServer viaMain([main](std::shared_ptr<EchoSession> session, std::string text) {
    main->async([session, text = std::move(text)] { session->reply(text); });
  });
  AsioThread other;
  EchoServer viaAsio([&other](std::shared_ptr<EchoSession> session, std::string text) {
    net::post(other.io(), [session, text = std::move(text)] { session->reply(text); });
  });

  Pinger hostPinger("host \"/ping\"", host.wsPort(), host.cookie());
  Pinger barePinger("bare Beast echo", bare.port());
  Pinger mainPinger("echo via main", viaMain.port());
  Pinger asioPinger("echo via Asio post", viaAsio.port());
  std::vector<Pinger*> order{&hostPinger, &barePinger, &mainPinger, &asioPinger};
  for (Pinger* pinger : order) {
    if (!pinger->connected()) {
      std::fprintf(stderr, "%s: could not connect\n", pinger->name());
      return 1;
    }
  }

  // The first reply is checked in full; the rest only by id.
  auto first = hostPinger.ping();
  auto expected = parseJson(R"({"id":"0","result":{},"jsonrpc":"2.0"})");
  auto got = first ? parseJson(*first) : expected;
  if (!first || !got || *got != *expected) {
    std::fprintf(stderr, "unexpected reply to \"/ping\": %s\n", first ? first->c_str() : "(none)");
    return 1;
  }
  for (std::size_t i = 0; i < warmUp; ++i) {
    for (Pinger* pinger : order) {
      if (!pinger->ping()) {
        std::fprintf(stderr, "%s: warm-up failed\n", pinger->name());
        return 1;
      }
    }
  }

  for (std::size_t block = 0; block < kBlocks; ++block) {
    for (Pinger* pinger : order) {
      if (!pinger->measure(trips / kBlocks)) {
        std::fprintf(stderr, "%s: a round trip failed\n%s\n", pinger->name(), host.errorOutput().c_str());
        return 1;
      }
    }
    std::rotate(order.begin(), order.begin() + 1, order.end());
  }

  std::printf("%zu round trips each after %zu warm-up, one in flight, in %zu alternating blocks\n",
              trips / kBlocks * kBlocks, warmUp, kBlocks);
  std::printf("%-20s %10s %10s %10s %10s %10s\n", "server", "trips/s", "median us", "p90 us", "p99 us", "max us");
  for (Pinger* pinger : {&hostPinger, &barePinger, &mainPinger, &asioPinger}) pinger->report();
  double ratio = hostPinger.percentile(0.5) / barePinger.percentile(0.5);
  double hopRatio = hostPinger.percentile(0.5) / mainPinger.percentile(0.5);
  double p99 = hostPinger.percentile(0.99);
  std::printf("median ratio host/bare echo: %.2fx (goal <= 1.50x: %s)\n", ratio, ratio <= 1.5 ? "met" : "missed");
  std::printf("median ratio host/echo via main: %.2fx (goal <= 1.15x: %s)\n", hopRatio,
              hopRatio <= 1.15 ? "met" : "missed");
  std::printf("host p99: %.1f us (goal < 250 us: %s)\n", p99, p99 < 250 ? "met" : "missed");
  if (auto status = host.stop(); status != 0) std::fprintf(stderr, "the host did not stop cleanly\n");
  return 0;
}

// The headless host under mixed load: 200 WebSocket clients doing 1,000 "/ping" round trips each
// (one in flight per client) while 500 HTTP clients keep a request each in flight the whole time
// (one request per connection, as the server serves them). Meanwhile a well-behaved page request
// ("/index.html" on a fresh connection, every 10 ms) measures what the load does to the page; the
// same probe on the idle host first is the reference. The host's resident memory is read before
// the load and again after every client has gone.
//
//   mixed_load [ws clients] [pings each] [http clients]     (defaults 200, 1000, 500)

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/server/BeastNet.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/RawHttp.h"

namespace {

using namespace kestrom;
using namespace kestrom::wsnet;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double percentile(std::vector<double>& values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

/// Shared by every client: where to go and what came of it.
struct Load {
  unsigned wsPort = 0;
  unsigned httpPort = 0;
  std::string cookie;
  std::size_t pingsEach = 0;
  std::atomic<bool> stopHttp{false};
  std::atomic<std::size_t> wsDone{0};
  std::atomic<std::size_t> wsFailed{0};
  std::atomic<std::size_t> httpAnswered{0};
  std::atomic<std::size_t> httpFailed{0};
  std::atomic<std::size_t> httpRunning{0};
  std::mutex mutex;  // guards pingMicros
  std::vector<double> pingMicros;
};

/// One page: connects, then "/ping" after "/ping", one in flight.
class Pinger : public std::enable_shared_from_this<Pinger> {
 public:
  Pinger(net::io_context& io, Load& load) : ws_(net::make_strand(io)), load_(load) {}

  void run() {
    ws_.next_layer().expires_after(30s);
    ws_.next_layer().async_connect(tcp::endpoint(net::ip::address_v4::loopback(), static_cast<unsigned short>(load_.wsPort)),
                                   beast::bind_front_handler(&Pinger::onConnect, shared_from_this()));
  }

 private:
  void onConnect(error_code ec) {
    if (ec) return finish(false);
    ws_.next_layer().socket().set_option(tcp::no_delay(true), ec);
    ws_.next_layer().expires_never();
    ws_.set_option(websocket::stream_base::decorator(
        [cookie = load_.cookie](websocket::request_type& request) { request.set(http::field::cookie, cookie); }));
    ws_.async_handshake("127.0.0.1:" + std::to_string(load_.wsPort), "/",
                        beast::bind_front_handler(&Pinger::onHandshake, shared_from_this()));
  }
  void onHandshake(error_code ec) {
    if (ec) return finish(false);
    ws_.text(true);
    sendNext();
  }
  void sendNext() {
    if (sent_ == load_.pingsEach) return finish(true);
    std::string id = std::to_string(sent_);
    frame_ = R"({"id":")" + id + R"(","method":"/ping","params":{"values":{}},"jsonrpc":"2.0"})";
    marker_ = R"("id":")" + id + '"';
    sentAt_ = Clock::now();
    ws_.async_write(net::buffer(frame_), beast::bind_front_handler(&Pinger::onWrite, shared_from_this()));
  }
  void onWrite(error_code ec, std::size_t) {
    if (ec) return finish(false);
    ws_.async_read(buffer_, beast::bind_front_handler(&Pinger::onRead, shared_from_this()));
  }
  void onRead(error_code ec, std::size_t) {
    if (ec) return finish(false);
    bool mine = beast::buffers_to_string(buffer_.data()).find(marker_) != std::string::npos;
    buffer_.consume(buffer_.size());
    if (!mine) {  // a notification on the way
      ws_.async_read(buffer_, beast::bind_front_handler(&Pinger::onRead, shared_from_this()));
      return;
    }
    latencies_.push_back(micros(Clock::now() - sentAt_));
    ++sent_;
    sendNext();
  }
  void finish(bool ok) {
    {
      std::lock_guard lock(load_.mutex);
      load_.pingMicros.insert(load_.pingMicros.end(), latencies_.begin(), latencies_.end());
    }
    (ok ? load_.wsDone : load_.wsFailed)++;
    error_code ignored;
    ws_.next_layer().socket().close(ignored);
  }

  websocket::stream<beast::tcp_stream> ws_;
  Load& load_;
  beast::flat_buffer buffer_;
  std::string frame_, marker_;
  std::size_t sent_ = 0;
  Clock::time_point sentAt_;
  std::vector<double> latencies_;
};

/// One HTTP client: connect, GET, read the answer, again, until told to stop.
class Fetcher : public std::enable_shared_from_this<Fetcher> {
 public:
  Fetcher(net::io_context& io, Load& load) : io_(io), load_(load) {}

  void run() {
    ++load_.httpRunning;
    next();
  }

 private:
  void next() {
    if (load_.stopHttp) {
      --load_.httpRunning;
      return;
    }
    stream_.emplace(net::make_strand(io_));
    stream_->expires_after(30s);
    stream_->async_connect(tcp::endpoint(net::ip::address_v4::loopback(), static_cast<unsigned short>(load_.httpPort)),
                           beast::bind_front_handler(&Fetcher::onConnect, shared_from_this()));
  }
  void onConnect(error_code ec) {
    if (ec) return failed();
    request_ = {http::verb::get, "/index.html", 11};
    request_.set(http::field::host, "127.0.0.1:" + std::to_string(load_.httpPort));
    request_.set(http::field::cookie, load_.cookie);
    http::async_write(*stream_, request_, beast::bind_front_handler(&Fetcher::onWrite, shared_from_this()));
  }
  void onWrite(error_code ec, std::size_t) {
    if (ec) return failed();
    response_ = {};
    buffer_.clear();
    http::async_read(*stream_, buffer_, response_, beast::bind_front_handler(&Fetcher::onRead, shared_from_this()));
  }
  void onRead(error_code ec, std::size_t) {
    if (ec || response_.result() != http::status::ok) return failed();
    ++load_.httpAnswered;
    error_code ignored;
    stream_->socket().close(ignored);
    next();
  }
  void failed() {
    ++load_.httpFailed;
    error_code ignored;
    stream_->socket().close(ignored);
    next();
  }

  net::io_context& io_;
  Load& load_;
  std::optional<beast::tcp_stream> stream_;
  http::request<http::empty_body> request_;
  http::response<http::string_body> response_;
  beast::flat_buffer buffer_;
};

/// The well-behaved page request: a fresh connection, one GET, the whole answer; milliseconds,
/// or a negative value when it failed.
double probe(unsigned port, const std::string& cookie) {
  auto begin = Clock::now();
  test::RawHttpConnection connection(static_cast<std::uint16_t>(port));
  connection.send(test::makeHttpRequest("GET", "/index.html",
                                        {{"Host", "127.0.0.1:" + std::to_string(port)}, {"Cookie", cookie}}));
  auto response = connection.readResponse();
  if (response.status != 200) return -1;
  return micros(Clock::now() - begin) / 1000.0;
}

void printProbes(const char* what, std::vector<double>& ms, std::size_t failed) {
  std::printf("%-34s %6zu probes (%zu failed)  median %7.2f ms  p99 %7.2f ms  max %7.2f ms\n", what, ms.size(), failed,
              percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t wsClients = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const std::size_t pingsEach = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
  const std::size_t httpClients = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 500;

  // Our own end of every connection needs a descriptor too.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  test::TemporaryHome home;
  test::HostOptions options;
  options.descriptorLimit = {{8192, 8192}};
  test::HostProcess host(home.path, options);
  if (!host.running()) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.errorOutput().c_str());
    return 1;
  }
  Load load;
  load.wsPort = host.wsPort();
  load.httpPort = host.httpPort();
  load.cookie = host.cookie();
  load.pingsEach = pingsEach;

  // The reference: the same probe on the idle host (which also warms its file cache and workers).
  std::vector<double> idleMs;
  std::size_t idleFailed = 0;
  for (int i = 0; i < 200; ++i) {
    double ms = probe(load.httpPort, load.cookie);
    if (ms < 0) {
      ++idleFailed;
    } else {
      idleMs.push_back(ms);
    }
    std::this_thread::sleep_for(5ms);
  }
  std::this_thread::sleep_for(1s);
  const long rssBefore = residentKiB(host.pid());

  // The two kinds of client on threads of their own, so the pings' latencies are not the time
  // their completions waited behind the HTTP clients' in this process.
  net::io_context httpIO, wsIO;
  auto httpWork = net::make_work_guard(httpIO);
  auto wsWork = net::make_work_guard(wsIO);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&httpIO] { httpIO.run(); });
  for (int i = 0; i < 2; ++i) threads.emplace_back([&wsIO] { wsIO.run(); });

  auto begin = Clock::now();
  for (std::size_t i = 0; i < httpClients; ++i) std::make_shared<Fetcher>(httpIO, load)->run();
  for (std::size_t i = 0; i < wsClients; ++i) std::make_shared<Pinger>(wsIO, load)->run();

  std::vector<double> loadedMs;
  std::size_t loadedFailed = 0;
  long rssPeak = rssBefore;
  auto deadline = begin + 10min;
  while (load.wsDone + load.wsFailed < wsClients && Clock::now() < deadline) {
    double ms = probe(load.httpPort, load.cookie);
    if (ms < 0) {
      ++loadedFailed;
    } else {
      loadedMs.push_back(ms);
    }
    rssPeak = std::max(rssPeak, residentKiB(host.pid()));
    std::this_thread::sleep_for(10ms);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  load.stopHttp = true;
  while (load.httpRunning > 0 && Clock::now() < deadline + 1min) std::this_thread::sleep_for(10ms);
  httpWork.reset();
  wsWork.reset();
  for (auto& thread : threads) thread.join();

  // Memory settles once the connections' buffers are freed and the HTTP server's idle workers
  // retire (30 s without work); wait up to a minute for it.
  const auto loadEnd = Clock::now();
  long rssAfter = residentKiB(host.pid());
  while (rssAfter > rssBefore * 1.1 && Clock::now() < loadEnd + 60s) {
    std::this_thread::sleep_for(1s);
    rssAfter = residentKiB(host.pid());
  }
  const double settled = std::chrono::duration<double>(Clock::now() - loadEnd).count();

  std::printf("%zu WebSocket clients x %zu \"/ping\" and %zu HTTP clients, %.1f s\n", wsClients, pingsEach, httpClients,
              seconds);
  std::printf("WebSocket clients finished / failed: %zu / %zu; \"/ping\" round trips %zu (%.0f/s)",
              load.wsDone.load(), load.wsFailed.load(), load.pingMicros.size(), load.pingMicros.size() / seconds);
  std::printf(", median %.0f us, p99 %.0f us\n", percentile(load.pingMicros, 0.5), percentile(load.pingMicros, 0.99));
  std::printf("HTTP answers / failures under load: %zu (%.0f/s) / %zu\n", load.httpAnswered.load(),
              load.httpAnswered / seconds, load.httpFailed.load());
  printProbes("page request, idle host:", idleMs, idleFailed);
  printProbes("page request, under load:", loadedMs, loadedFailed);
  double p99 = percentile(loadedMs, 0.99);
  std::printf("under load p99 %.2f ms (goal < 100 ms: %s)\n", p99, p99 < 100 && loadedFailed == 0 ? "met" : "missed");
  std::printf("host resident memory: before %ld KiB, peak %ld KiB, after %ld KiB %.0f s after the load (%+.1f %%, goal "
              "within 10 %%: %s)\n",
              rssBefore, rssPeak, rssAfter, settled, 100.0 * (rssAfter - rssBefore) / rssBefore,
              rssAfter <= rssBefore * 1.1 ? "met" : "missed");
  bool clean = load.wsFailed == 0 && load.wsDone == wsClients;
  if (auto status = host.stop(); status != 0) std::fprintf(stderr, "the host did not stop cleanly\n");
  return clean ? 0 : 1;
}

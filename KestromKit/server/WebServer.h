#pragma once
// The local HTTP/1.1 server: serves the web application, the content packages and a few native
// endpoints on 127.0.0.1 at a port the system chooses. One request per connection, then close; no
// keep-alive, chunked encoding or pipelining.
//
// Threads: the run-loop thread ("WebServer" run loop) opens the socket, restarts it when it fails
// and waits on one event loop (epoll, see WebServerHeadLoop) for every connection that has not yet
// sent its whole head: those are held there, at most `maxPendingHeads` of them (the oldest dropped
// first) and each for at most `headTimeout`, so connections that idle or drip cannot hold a thread
// or more than a few descriptors. A complete head is parsed and checked there; one that is
// malformed, from another site or without the session cookie is answered by the loop itself, as
// is every "/debug" (its one-time code is in the head; a body is refused) and a checked request
// for a small static file whose answer the socket takes at once. So nothing reaches a worker, a
// body or the disk without the cookie. Every other request that passed the checks goes to a
// worker thread, which reads its body, routes it and writes the answer, so a route may block (the
// file dialogs wait on the main queue). No route
// ever runs on the main queue. Idle workers wait for the next request; the pool grows with demand
// up to `maxConnections` (beyond that, checked requests queue) and shrinks again, each idle worker
// beyond the first retiring after a while. Nothing wakes while nothing happens. Owned by the kit;
// `stop` (also run by the destructor) closes the socket and every connection but an upload that
// is already being answered, which it lets finish for a while (`stopGrace`), and joins the workers.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/server/WebServerDelegate.h"
#include "KestromKit/server/WebServerRequestParser.h"
#include "KestromKit/server/WebServerRoutes.h"
#include "KestromKit/server/WebServerTypes.h"
#include "platform/tcp/Result.h"

namespace kestrom {

namespace tcp {
class TCPClient;
class TCPServer;
}  // namespace tcp

/// What answers every checked request but "/debug" instead of the real routes (tests of the
/// server's own rules); the run loop answers "/debug" through the real routes.
using WebServerRoute = std::function<WebServerResponse(const WebServerRequest&)>;

/// Bounds that keep one client from holding the server (all but the last apply per connection) or
/// filling its log.
struct WebServerLimits {
  std::size_t maxHeadBytes = 64 * 1024;
  std::uint64_t maxBodyBytes = 512ull * 1024 * 1024;
  /// Bodies above this go to a temporary file instead of memory.
  std::size_t memoryBodyBytes = 1024 * 1024;
  /// A quiet client is dropped after this long without a byte of its body.
  std::chrono::milliseconds readTimeout{10000};
  /// The whole head must arrive within this (and within `readTimeout`) of the connection.
  std::chrono::milliseconds headTimeout{2000};
  /// Connections still sending their head, held at once, and answered ones still sending, each;
  /// a new one beyond it drops the oldest. Empty: sized at start from the descriptor limit (see
  /// tcp::heldConnectionCap), at most 128.
  std::optional<std::size_t> maxPendingHeads;
  /// The whole body must arrive within `readTimeout` plus its length at this rate: a client that
  /// drips a byte now and then cannot hold its connection for long.
  std::uint64_t minBodyBytesPerSecond = 16 * 1024;
  std::chrono::milliseconds writeTimeout{10000};
  /// Checked requests served at once, each on a thread of its own; more wait their turn.
  /// At least 1.
  std::size_t maxConnections = 1024;
  /// How long a file dialog may keep its connection waiting.
  std::chrono::milliseconds fileDialogTimeout{std::chrono::minutes(30)};
  /// How long `stop` lets an upload whose body was read be routed and answered (a project save
  /// that lands is reported); everything else is closed at once.
  std::chrono::milliseconds stopGrace{5000};
  /// Lines a second in the log for each kind of refused request (malformed, from another site,
  /// without the cookie...); the others are only counted.
  unsigned refusalLinesPerSecond = 3;
};

class WebServer {
 public:
  /// `route`, when given, answers every checked request in place of WebServerRoutes.
  WebServer(WebServerServices services, bool verbose, WebServerLimits limits = {}, WebServerRoute route = {});
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  /// Set once before `start`.
  void setDelegate(std::weak_ptr<WebServerDelegate> delegate) { delegate_ = std::move(delegate); }
  /// Returns at once; the run loop listens on `port` (0: any free port) and falls back to port 0
  /// once when a fixed port cannot be had. A second call while running does nothing.
  void start(std::int32_t port);
  /// Ends the run loop and every connection; no restart follows. Any thread but the server's own
  /// (the run loop's and the workers'), which it joins; so does the destructor.
  void stop();
  /// True on the run-loop thread and on the workers: where the delegate is called, and where the
  /// server must not be stopped or let go of.
  bool isOwnThread() const;
  /// The port listened on (kept across a restart on the same port); empty before and after.
  std::optional<std::int32_t> port() const;

 private:
  class HeadLoop;
  /// What a worker keeps from one connection to the next, so serving allocates little.
  struct WorkerBuffers;
  /// A request the run loop routed itself, whose answer a worker writes: a large file, or the end
  /// of an answer the socket would not take whole at once.
  struct RoutedAnswer {
    WebServerResponse response;
    std::optional<std::string> unsent;  // what is left of the answer when the run loop began it
  };
  /// A connection whose head passed every check, on its way to a worker.
  struct CheckedRequest {
    int fd = -1;
    std::string bytes;  // the head and the first bytes of its body
    WebServerRequestHead head;
    std::chrono::steady_clock::time_point firstByte;
    std::optional<RoutedAnswer> routed;
  };
  /// A worker thread and the connection it is serving, if any (for `stop` to wake).
  struct Worker {
    std::thread thread;
    tcp::TCPClient* client = nullptr;
    bool answeringUpload = false;  // its upload is routed or answered: `stop` lets it finish
  };

  void runServer(std::int32_t requestedPort);
  /// Starts one more worker (lock held). False when no thread can be had.
  bool startWorkerLocked();
  /// Hands a checked request to a worker, starting one when none is free (run-loop thread).
  void dispatch(CheckedRequest checked);
  /// Joins the workers that retired (run-loop thread).
  void joinRetired();
  void workerLoop(std::list<Worker>::iterator self);
  /// One checked request, from its body to the written answer (worker thread).
  void handle(tcp::TCPClient& client, CheckedRequest& checked, WorkerBuffers& buffers, Worker& self);
  /// The request a route sees, from its checked head (any thread).
  WebServerRequest requestFor(WebServerRequestHead&& head, WebServerBody body,
                              std::chrono::steady_clock::time_point firstByte) const;
  /// The answer's line in the log: for every failure, and for every success when verbose.
  void logAnswer(const WebServerResponse& response, const WebServerRequest& request) const;
  void respond(tcp::TCPClient& client, WorkerBuffers& buffers, const WebServerResponse& response,
               const WebServerRequest& request);
  /// Without `withBody` (a HEAD), the head alone, with the body's length.
  void send(tcp::TCPClient& client, WorkerBuffers& buffers, std::string_view statusText,
            const WebServerHeaders& headers, std::string_view body,
            const std::optional<WebServerFileRegion>& file = std::nullopt, bool withBody = true);
  /// Wakes the run loop (any thread).
  void wakeRunLoop();

  const std::string host_ = "127.0.0.1";
  const bool verbose_;
  const WebServerServices services_;
  const WebServerLimits limits_;
  WebServerRoutes routes_;
  const WebServerRoute route_;  // empty: `routes_` answer
  std::weak_ptr<WebServerDelegate> delegate_;
  /// The port the connections were accepted on, for the Host and Origin checks (0: none yet).
  std::atomic<std::int32_t> servingPort_{0};

  int wakeFd_ = -1;  // eventfd: the run loop's wake-up (stop, a retired worker)

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;  // a worker retired; `stop` waits for the last worker
  std::condition_variable work_;     // a checked request is waiting, or the server stops
  std::shared_ptr<tcp::TCPServer> server_;  // the listening socket of the run loop
  std::thread runLoop_;
  std::list<Worker> workers_;  // alive
  std::list<Worker> retired_;  // finished, to be joined
  std::deque<CheckedRequest> ready_;  // checked requests no worker has taken yet
  std::size_t wholeReady_ = 0;        // the first of `ready_`, whose bodies are all here
  std::size_t idle_ = 0;              // workers waiting for a request
  std::size_t starting_ = 0;          // workers started that have not yet looked for one
  std::optional<std::int32_t> port_;
  std::atomic<bool> stopping_{false};
};

}  // namespace kestrom

#include "KestromKit/server/WebServer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <system_error>

#include "platform/AsciiCase.h"
#include "KestromKit/server/WebServerAnswer.h"
#include "KestromKit/server/WebServerHeadLoop.h"
#include "KestromKit/server/WebServerRequestParser.h"
#include "KestromKit/server/WebServerRequestReader.h"
#include "KestromKit/base/Constants.h"
#include "platform/files/DescriptorIO.h"
#include "platform/log/GuardedCallback.h"
#include "platform/log/RequestValue.h"
#include "platform/tcp/TCPClient.h"
#include "platform/tcp/TCPServer.h"

namespace kestrom {
using Clock = std::chrono::steady_clock;

namespace {

const log::Logger& logger() { return Constants::log().webServer; }

// Idle workers beyond the first retire after this long without a request.
constexpr std::chrono::milliseconds kIdleWorkerTimeout{30000};

// Closing with unread input makes the kernel reset the connection, which can destroy our answer
// before the peer reads it: end our side first and let the peer finish (bounded). The worker loop
// closes the socket afterwards, under the lock that `stop` takes to wake connections.
void finishGently(tcp::TCPClient& client) {
  auto pending = client.bytesAvailable();
  client.shutdownWrite();
  if (pending && *pending > 0) client.drain(static_cast<int>(kRefusedDrainTime.count()), kRefusedDrainBytes);
}

}  // namespace

struct WebServer::WorkerBuffers {
  WorkerBuffers() : file(std::make_unique_for_overwrite<char[]>(kInlineFileBytes)) {}
  std::unique_ptr<char[]> file;  // a small file's bytes, sent in one write with the answer's head
  std::string answer;            // the answer's head
};

WebServer::WebServer(WebServerServices services, bool verbose, WebServerLimits limits, WebServerRoute route)
    : verbose_(verbose), services_(std::move(services)), limits_(limits),
      routes_(services_, limits_.fileDialogTimeout), route_(std::move(route)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

WebServer::~WebServer() {
  stop();
  ::close(wakeFd_);
}

void WebServer::start(std::int32_t port) {
  std::lock_guard lock(mutex_);
  if (runLoop_.joinable() || stopping_) return;
  runLoop_ = std::thread([this, port] { log::guardedCallback("web server run loop", [&] { runServer(port); }); });
}

void WebServer::wakeRunLoop() {
  const std::uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
}

void WebServer::stop() {
  std::thread runLoop;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;  // under the lock: no worker takes a request after the wake-up below
    routes_.stop();    // a worker waiting for a file dialog gives up
    if (server_) server_->shutdown();
    for (auto& worker : workers_) {
      if (worker.client && !worker.answeringUpload) worker.client->shutdown();
    }
    runLoop = std::move(runLoop_);
    work_.notify_all();
  }
  wakeRunLoop();
  if (runLoop.joinable()) runLoop.join();
  std::list<Worker> finished;
  std::deque<CheckedRequest> unserved;
  {
    std::unique_lock lock(mutex_);
    if (server_) server_->shutdown();  // one the run loop opened while we took the lock
    // An upload being answered may have changed something (a saved project): its client hears
    // the outcome, unless the answer takes too long.
    if (!changed_.wait_for(lock, limits_.stopGrace, [this] { return workers_.empty(); }))
      for (auto& worker : workers_)
        if (worker.client) worker.client->shutdown();
    changed_.wait(lock, [this] { return workers_.empty(); });
    finished.swap(retired_);
    unserved.swap(ready_);
    wholeReady_ = 0;
  }
  for (auto& worker : finished) worker.thread.join();
  for (auto& checked : unserved) ::close(checked.fd);
}

bool WebServer::isOwnThread() const {
  const auto self = std::this_thread::get_id();
  std::lock_guard lock(mutex_);
  if (runLoop_.get_id() == self) return true;
  for (const auto* workers : {&workers_, &retired_})
    for (const auto& worker : *workers)
      if (worker.thread.get_id() == self) return true;
  return false;
}

std::optional<std::int32_t> WebServer::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

void WebServer::runServer(std::int32_t requestedPort) {
  std::int32_t port = requestedPort;
  while (true) {
    auto server = std::make_shared<tcp::TCPServer>(host_, port, std::chrono::milliseconds(-1));
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;  // `stop` may have shut down the previous socket only
      server_ = server;
    }
    auto listened = server->listen();
    if (listened.isFailure()) {
      logger().error("WebServer Failed attempt to start web server on port %d: %s", server->port(),
                     listened.error()->localizedDescription());
      if (port == 0) break;  // nothing else to try: the server stays down
      port = 0;
      continue;
    }
    HeadLoop loop(*this, *server);
    if (!loop.ready()) {
      logger().error("WebServer Failed attempt to start web server on port %d: %s", server->port(),
                     tcp::SocketError{errno}.localizedDescription());
      break;
    }
    const std::int32_t bound = server->port();
    {
      std::lock_guard lock(mutex_);
      port_ = bound;
      servingPort_ = bound;
      // One worker waits ready, so the first request need not wait for a thread to start.
      if (!stopping_ && workers_.empty()) startWorkerLocked();
    }
    logger().info("WebServer started on port: %d, requested port was: %d", bound, port);
    if (auto delegate = delegate_.lock()) delegate->webServerDidStart(bound);

    const bool failed = loop.run();

    if (stopping_ || !failed) break;
    server->shutdown();
    logger().info("WebServer stopped");
    port = bound;
  }
  joinRetired();
  std::lock_guard lock(mutex_);
  port_.reset();
}

void WebServer::joinRetired() {
  std::list<Worker> finished;
  {
    std::lock_guard lock(mutex_);
    finished.swap(retired_);
  }
  for (auto& worker : finished) worker.thread.join();
}

void WebServer::dispatch(CheckedRequest checked) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(checked.fd);
      return;
    }
    // A request whose body is all here is served in the time its route takes; one still waiting
    // for its body may hold its worker until the body deadline. The first go ahead, so clients
    // that drip their bodies cannot make the page's requests wait for a worker behind them.
    if (checked.routed || bodyIsHere(checked.head, checked.bytes)) {
      ready_.insert(ready_.begin() + static_cast<std::ptrdiff_t>(wholeReady_), std::move(checked));
      ++wholeReady_;
    } else {
      ready_.push_back(std::move(checked));
    }
    // Every waiting request gets a worker of its own, up to the cap. The run loop starts one at a
    // time; a worker that takes a request while more wait starts the next (see `workerLoop`), so
    // a burst does not hold the loop while threads start.
    if (starting_ == 0 && ready_.size() > idle_ && workers_.size() < std::max<std::size_t>(1, limits_.maxConnections))
      startWorkerLocked();
  }
  work_.notify_one();  // outside the lock: the worker need not wait for it
}

bool WebServer::startWorkerLocked() {
  auto self = workers_.emplace(workers_.end());
  try {
    // The new thread waits for our lock before it looks at its entry.
    self->thread = std::thread([this, self] { workerLoop(self); });
  } catch (const std::system_error& e) {
    workers_.erase(self);
    logger().error("Unable to start a connection worker: %s", e.what());
    return false;
  }
  ++starting_;
  return true;
}

void WebServer::workerLoop(std::list<Worker>::iterator self) {
  tcp::keepSigpipeBlockedOnThisThread();
  std::unique_ptr<WorkerBuffers> buffers;
  try {
    buffers = std::make_unique<WorkerBuffers>();
  } catch (const std::bad_alloc&) {
    logger().error("Unable to start a connection worker: %s", "out of memory");
  }
  std::unique_lock lock(mutex_);
  --starting_;
  while (buffers && !stopping_) {
    // The first idle worker waits without a time limit; the others retire when nothing comes,
    // so an idle server has no timer running.
    ++idle_;
    bool retire = false;
    while (!stopping_ && ready_.empty()) {
      if (idle_ <= 1) {
        work_.wait(lock);
      } else if (work_.wait_for(lock, kIdleWorkerTimeout) == std::cv_status::timeout && ready_.empty() && idle_ > 1) {
        retire = true;
        break;
      }
    }
    --idle_;
    if (retire || stopping_) break;
    CheckedRequest checked = std::move(ready_.front());
    ready_.pop_front();
    if (wholeReady_ > 0) --wholeReady_;
    if (ready_.size() > idle_ + starting_ && workers_.size() < std::max<std::size_t>(1, limits_.maxConnections))
      startWorkerLocked();
    std::optional<tcp::TCPClient> client;
    client.emplace(checked.fd);
    self->client = &*client;
    lock.unlock();
    try {
      handle(*client, checked, *buffers, *self);
    } catch (const std::exception& e) {
      logger().fault("Connection ended by an exception: %s", e.what());
    }
    lock.lock();
    self->client = nullptr;  // from here `stop` no longer touches it, so it may close unlocked
    self->answeringUpload = false;
    lock.unlock();
    client.reset();
    lock.lock();
  }
  retired_.splice(retired_.end(), workers_, self);
  changed_.notify_all();  // under the lock: `stop` may destroy us as soon as it has joined us
  wakeRunLoop();          // which joins us
}

void WebServer::handle(tcp::TCPClient& client, CheckedRequest& checked, WorkerBuffers& buffers, Worker& self) {
  if (checked.routed) {  // the run loop has routed it and written its log line
    const WebServerResponse& response = checked.routed->response;
    if (!checked.routed->unsent) {
      send(client, buffers, response.statusText(), response.headers(), response.body(), response.file());
    } else if (auto sent = client.send(*checked.routed->unsent, static_cast<int>(limits_.writeTimeout.count()));
               sent.isFailure()) {
      logger().error("Unable to send status: %s body: %d error: %s", std::string(response.statusText()),
                     static_cast<long long>(response.bodyLength()),
                     sent.error() ? sent.error()->localizedDescription() : std::string("N/A"));
    }
    checked.routed.reset();  // written: what the answer holds goes now, not after the close
    finishGently(client);
    return;
  }
  WebServerRequestReader reader(client, limits_, services_.temporaryFolder);
  WebServerRequestHead& parsed = checked.head;
  std::string_view initial = std::string_view(checked.bytes).substr(parsed.bodyOffset);
  const auto contentLength = declaredContentLength(parsed.headers);
  // A client that waits for leave to send its body (curl does, for a second, before uploads)
  // gets it once the head has passed every check and the body may come.
  const auto expect = headerValuesIgnoringCase(parsed.headers, "Expect");
  if (!expect.empty() && equalsIgnoringCase(expect.front(), "100-continue") && contentLength &&
      *contentLength > static_cast<std::int64_t>(initial.size()) &&
      static_cast<std::uint64_t>(*contentLength) <= limits_.maxBodyBytes)
    (void)client.send("HTTP/1.1 100 Continue\r\n\r\n", static_cast<int>(limits_.writeTimeout.count()));
  auto body = reader.readBody(initial, contentLength);
  if (!body) {
    switch (body.error()) {
      case WebServerRequestReader::Failure::bodyTooLarge:
        logger().error("%d | Request body over %d MiB", 413, static_cast<int>(limits_.maxBodyBytes >> 20));
        send(client, buffers, "413 PAYLOAD TOO LARGE", {}, {});
        break;
      case WebServerRequestReader::Failure::tooSlow:
        logger().error("%d | Request body too slow", 408);
        send(client, buffers, "408 REQUEST TIMEOUT", {}, {});
        break;
      case WebServerRequestReader::Failure::spoolFailed:
        logger().error("%d | Unable to store the request body", 500);
        send(client, buffers, "500 INTERNAL SERVER ERROR", {}, {});
        break;
      default:
        logger().error("%d | Received %d bytes: %s ...", 400, static_cast<int>(checked.bytes.size()),
                       logPreview(checked.bytes));
        send(client, buffers, "400 BAD REQUEST", {}, {});
        break;
    }
    finishGently(client);
    return;
  }

  if (!body->empty()) {
    // An upload that is routed is answered, even while the server stops; one that `stop` has
    // already closed is not routed, so nothing changes without its client hearing of it.
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    self.answeringUpload = true;
  }
  const WebServerRequest request = requestFor(std::move(parsed), std::move(*body), checked.firstByte);
  WebServerResponse response = WebServerResponse::serverError();
  try {
    response = route_ ? route_(request) : routes_.route(request);
  } catch (const std::exception& e) {  // handlers answer with values; this is the last guard
    logger().fault("Route %s threw: %s", log::requestValue(request.path), e.what());
  }
  respond(client, buffers, response, request);
  // Written: what the answer holds (a spooled entry, its share of the spool budget) goes now, not
  // after the close, which may wait for the client.
  response = WebServerResponse::serverError();
  finishGently(client);
}

WebServerRequest WebServer::requestFor(WebServerRequestHead&& head, WebServerBody body, Clock::time_point firstByte) const {
  WebServerRequest request;
  request.method = head.method;
  request.headers = std::move(head.headers);
  request.path = std::move(head.path);
  request.pathParts = std::move(head.pathParts);
  request.urlComponents = std::move(head.urlComponents);
  request.body = std::move(body);
  request.defaultLanguage = services_.defaultLanguage ? services_.defaultLanguage() : std::string();
  request.fallbackLanguage = services_.fallbackLanguage;
  request.prepacked = services_.prepacked;
  request.webroot = services_.webroot;
  request.handedOutFolders = services_.handedOutFolders;
  request.time = firstByte;
  return request;
}

void WebServer::respond(tcp::TCPClient& client, WorkerBuffers& buffers, const WebServerResponse& response,
                        const WebServerRequest& request) {
  logAnswer(response, request);
  send(client, buffers, response.statusText(), response.headers(), response.body(), response.file(),
       request.method != WebServerRequestMethod::head);
}

void WebServer::logAnswer(const WebServerResponse& response, const WebServerRequest& request) const {
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - request.time).count();
  const auto kind = response.kind();
  if (kind == WebServerResponse::Kind::ok || kind == WebServerResponse::Kind::partial) {
    if (verbose_)
      logger().info("%d | %s - %.2f ms: %s", response.statusCode(), rawValue(request.method), ms,
                    log::requestValue(request.path));
  } else {
    logger().error("%d | %s - %.2f ms: %s", response.statusCode(), rawValue(request.method), ms,
                   log::requestValue(request.path));
  }
}

void WebServer::send(tcp::TCPClient& client, WorkerBuffers& buffers, std::string_view statusText,
                     const WebServerHeaders& headers, std::string_view body,
                     const std::optional<WebServerFileRegion>& file, bool withBody) {
  std::string& head = buffers.answer;
  const std::uint64_t bodyLength = file && file->file ? file->length : body.size();
  appendAnswerHead(head, statusText, headers, bodyLength);

  const int timeout = static_cast<int>(limits_.writeTimeout.count());
  tcp::Result result = tcp::Result::success();
  if (!withBody) {
    result = client.send(head, timeout);
  } else if (!file || !file->file) {
    result = client.send(head, body, timeout);
  } else if (file->length <= kInlineFileBytes &&
             files::readFully(file->file->fd(), buffers.file.get(), file->offset, static_cast<std::size_t>(file->length))) {
    result = client.send(head, std::string_view(buffers.file.get(), static_cast<std::size_t>(file->length)), timeout);
  } else {
    // Large (or changed under us: sendfile then reports the short file).
    result = client.send(head, timeout, /*more=*/file->length > 0);
    if (!result.isFailure() && file->length > 0)
      result = client.sendFile(file->file->fd(), file->offset, file->length, timeout);
  }
  if (result.isFailure()) {
    logger().error("Unable to send status: %s body: %d error: %s", std::string(statusText),
                   static_cast<long long>(bodyLength),
                   result.error() ? result.error()->localizedDescription() : std::string("N/A"));
  }
}

}  // namespace kestrom

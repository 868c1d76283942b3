#include "KestromKit/server/WebServer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "KestromKit/base/AsciiCase.h"
#include "KestromKit/server/LoopbackGuard.h"
#include "KestromKit/server/SessionSecret.h"
#include "KestromKit/server/WebServerRequestParser.h"
#include "KestromKit/server/WebServerRequestReader.h"
#include "KestromKit/base/Constants.h"
#include "platform/tcp/TCPClient.h"
#include "platform/tcp/TCPServer.h"

namespace kestrom {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const log::Logger& logger() { return Constants::log().webServer; }

// Workers idle this long retire (all but the last one accepting).
constexpr std::chrono::milliseconds kIdleWorkerTimeout{30000};
// How many workers one that takes the last waiting place may start at once.
constexpr std::size_t kMostWorkersStartedAtOnce = 32;
// Files up to this size are read and sent with the answer's head in one write; larger ones
// stream from the page cache with sendfile(2).
constexpr std::size_t kInlineFileBytes = 64 * 1024;

// Reads `length` bytes of `fd` from `offset`; false when the file ends early or fails.
bool readFully(int fd, char* into, std::uint64_t offset, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const auto n = ::pread(fd, into + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A header that carried CR or LF would end the head early and let its value write headers of its own.
std::string headerSafe(std::string_view text) {
  std::string out(text);
  std::replace_if(out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return out;
}

// The first bytes of a bad request for the log: printable ASCII, else "N/A".
std::string asciiPreview(std::string_view bytes) {
  std::string_view head = bytes.substr(0, std::min<std::size_t>(bytes.size(), 100));
  bool ascii = std::all_of(head.begin(), head.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return ascii ? std::string(head) : "N/A";
}

// Closing with unread input makes the kernel reset the connection, which can destroy our answer
// before the peer reads it: end our side first and let the peer finish (bounded). The worker loop
// closes the socket afterwards, under the lock that `stop` takes to wake connections.
void finishGently(tcp::TCPClient& client) {
  auto pending = client.bytesAvailable();
  client.shutdownWrite();
  if (pending && *pending > 0) client.drain(500, 1 << 20);
}

}  // namespace

std::optional<std::string> cookieOf(const std::map<std::string, std::string>& headers) {
  auto values = headerValuesIgnoringCase(headers, "Cookie");
  if (values.empty()) return std::nullopt;
  std::string joined;
  for (const auto& value : values) joined += (joined.empty() ? "" : "; ") + value;
  return joined;
}

struct WebServer::WorkerBuffers {
  explicit WorkerBuffers(const WebServerLimits& limits)
      : head(std::make_unique_for_overwrite<char[]>(WebServerRequestReader::headBufferSize(limits))),
        file(std::make_unique_for_overwrite<char[]>(kInlineFileBytes)) {}
  std::unique_ptr<char[]> head;  // the request head and the first bytes of its body
  std::unique_ptr<char[]> file;  // a small file's bytes, sent in one write with the answer's head
  std::string answer;            // the answer's head
};

WebServer::WebServer(WebServerServices services, bool verbose, WebServerLimits limits)
    : verbose_(verbose), services_(std::move(services)), limits_(limits) {}

WebServer::~WebServer() { stop(); }

void WebServer::start(std::int32_t port) {
  std::lock_guard lock(mutex_);
  if (runLoop_.joinable() || stopping_) return;
  runLoop_ = std::thread([this, port] { runServer(port); });
}

void WebServer::stop() {
  std::thread runLoop;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;  // under the lock: no worker registers a connection after the wake-up below
    if (server_) server_->shutdown();
    for (auto& worker : workers_) {
      if (worker.client) worker.client->shutdown();
    }
    runLoop = std::move(runLoop_);
    changed_.notify_all();
  }
  if (runLoop.joinable()) runLoop.join();
  std::list<Worker> finished;
  {
    std::unique_lock lock(mutex_);
    if (server_) server_->shutdown();  // one the run loop opened while we took the lock
    changed_.wait(lock, [this] { return workers_.empty(); });
    finished.swap(retired_);
  }
  for (auto& worker : finished) worker.thread.join();
}

std::optional<std::int32_t> WebServer::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

void WebServer::breakListeningSocketForTesting() {
  std::shared_ptr<tcp::TCPServer> server;
  {
    std::lock_guard lock(mutex_);
    server = server_;
  }
  if (server) server->shutdown();
}

void WebServer::runServer(std::int32_t requestedPort) {
  std::int32_t port = requestedPort;
  while (true) {
    auto server = std::make_shared<tcp::TCPServer>(host_, port, kIdleWorkerTimeout);
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;  // `stop` may have shut down the previous socket only
      server_ = server;
      listenerFailed_ = false;
    }
    auto listened = server->listen();
    if (listened.isFailure()) {
      logger().error("WebServer Failed attempt to start web server on port %d: %s", server->port(),
                     listened.error()->localizedDescription());
      if (port == 0) break;  // nothing else to try: the server stays down
      port = 0;
      continue;
    }
    const std::int32_t bound = server->port();
    {
      std::lock_guard lock(mutex_);
      port_ = bound;
      servingPort_ = bound;
      if (!stopping_) startWorkerLocked();
    }
    logger().info("WebServer started on port: %d, requested port was: %d", bound, port);
    if (auto delegate = delegate_.lock()) delegate->webServerDidStart(bound);

    superviseWorkers();

    if (stopping_) break;
    server->shutdown();  // every worker still waiting on it leaves
    logger().info("WebServer stopped");
    port = bound;
  }
  std::lock_guard lock(mutex_);
  port_.reset();
}

void WebServer::superviseWorkers() {
  using namespace std::chrono_literals;
  std::unique_lock lock(mutex_);
  while (!stopping_ && !listenerFailed_) {
    changed_.wait_for(lock, 1s);
    if (stopping_ || listenerFailed_) break;
    // A worker that could not be started left nobody accepting: try again.
    if (acceptors_ == 0 && workers_.size() < std::max<std::size_t>(1, limits_.maxConnections)) startWorkerLocked();
    if (!retired_.empty()) {
      std::list<Worker> finished;
      finished.swap(retired_);
      lock.unlock();
      for (auto& worker : finished) worker.thread.join();
      lock.lock();
    }
  }
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
  ++acceptors_;
  return true;
}

void WebServer::workerLoop(std::list<Worker>::iterator self) {
  tcp::keepSigpipeBlockedOnThisThread();
  std::unique_ptr<WorkerBuffers> buffers;
  try {
    buffers = std::make_unique<WorkerBuffers>(limits_);
  } catch (const std::bad_alloc&) {
    logger().error("Unable to start a connection worker: %s", "out of memory");
  }
  std::unique_lock lock(mutex_);
  // Counted among the acceptors from here (by whoever started us, then by ourselves) until we
  // take a connection, and again once it is served.
  while (buffers && !stopping_ && server_) {
    std::shared_ptr<tcp::TCPServer> server = server_;
    lock.unlock();
    const auto accepted = server->accept();
    std::optional<tcp::TCPClient> client;
    if (accepted.status == tcp::TCPServer::AcceptStatus::accepted) client.emplace(accepted.fd);
    lock.lock();
    if (!client) {
      if (accepted.status == tcp::TCPServer::AcceptStatus::closed && server == server_ && !stopping_) {
        listenerFailed_ = true;
        changed_.notify_all();
      }
      // Idle for the whole time-out: retire, unless nobody else would be left accepting.
      if (accepted.status == tcp::TCPServer::AcceptStatus::timedOut && acceptors_ == 1 && server == server_) continue;
      break;
    }
    if (stopping_) break;  // closes it unserved
    --acceptors_;
    // Somebody must go on accepting while we serve. A burst would wait for one thread start per
    // connection if each new worker only started the next: start more the busier we are.
    if (acceptors_ == 0) {
      const std::size_t busy = workers_.size();
      std::size_t more = std::clamp<std::size_t>(busy / 2, 1, kMostWorkersStartedAtOnce);
      more = std::min(more, limits_.maxConnections - std::min(limits_.maxConnections, busy));
      while (more-- > 0 && startWorkerLocked()) {
      }
    }
    self->client = &*client;
    lock.unlock();
    try {
      handle(*client, *buffers);
    } catch (const std::exception& e) {
      logger().fault("Connection ended by an exception: %s", e.what());
    }
    lock.lock();
    self->client = nullptr;  // from here `stop` no longer touches it, so it may close unlocked
    lock.unlock();
    client.reset();
    lock.lock();
    ++acceptors_;
  }
  --acceptors_;
  retired_.splice(retired_.end(), workers_, self);
  changed_.notify_all();  // under the lock: `stop` may destroy us as soon as it has joined us
}

void WebServer::handle(tcp::TCPClient& client, WorkerBuffers& buffers) {
  WebServerRequestReader reader(client, limits_, services_.temporaryFolder);

  auto head = reader.readHead(buffers.head.get());
  if (!head) {
    if (head.error() == WebServerRequestReader::Failure::headTooLarge) {
      logger().error("%d | Request head over %d bytes", 431, static_cast<int>(limits_.maxHeadBytes));
      send(client, buffers, "431 REQUEST HEADER FIELDS TOO LARGE", {}, {});
    } else {
      // A connection that never sent a byte: a browser opens spare connections ahead of need and
      // lets the unused ones go idle. Routine, so not an error.
      logger().debug("%d | Request timeout: an idle connection sent no request", 408);
      send(client, buffers, "408 REQUEST TIMEOUT", {}, {});
    }
    finishGently(client);
    return;
  }

  auto parsed = parseRequestHead(*head);
  if (!parsed) {
    badRequest(client, buffers, *head);
    finishGently(client);
    return;
  }

  // After the request line, so a malformed request still learns it is malformed.
  const auto ownPort = static_cast<unsigned>(servingPort_.load());
  bool allowed = true;
  for (const auto& host : headerValuesIgnoringCase(parsed->headers, "Host"))
    allowed = allowed && LoopbackGuard::allows(host, std::nullopt, ownPort, {});
  const auto origins = headerValuesIgnoringCase(parsed->headers, "Origin");
  if (!origins.empty()) {
    const auto pageOrigins = LoopbackGuard::pageOrigins(ownPort);
    for (const auto& origin : origins) allowed = allowed && LoopbackGuard::allows(std::nullopt, origin, ownPort, pageOrigins);
  }
  if (!allowed) {
    logger().error("%d | Refused a request for %s from another site", 403, parsed->path);
    send(client, buffers, "403 FORBIDDEN", {}, {});
    finishGently(client);
    return;
  }
  // Only the host's own page (or a browser let in through "/debug") knows the secret.
  if (services_.session && parsed->path != "/debug" && !services_.session->admits(cookieOf(parsed->headers))) {
    logger().error("%d | Refused a request for %s without the session cookie", 403, parsed->path);
    send(client, buffers, "403 FORBIDDEN", {}, {});
    finishGently(client);
    return;
  }

  std::string_view initial = head->substr(parsed->bodyOffset);
  const auto contentLength = declaredContentLength(parsed->headers);
  // A client that waits for leave to send its body (curl does, for a second, before uploads)
  // gets it once the head has passed every check and the body may come.
  const auto expect = headerValuesIgnoringCase(parsed->headers, "Expect");
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
        badRequest(client, buffers, *head);
        break;
    }
    finishGently(client);
    return;
  }

  WebServerRequest request;
  request.method = parsed->method;
  request.headers = std::move(parsed->headers);
  request.path = std::move(parsed->path);
  request.pathParts = std::move(parsed->pathParts);
  request.urlComponents = std::move(parsed->urlComponents);
  request.body = std::move(*body);
  request.defaultLanguage = services_.defaultLanguage ? services_.defaultLanguage() : std::string();
  request.fallbackLanguage = services_.fallbackLanguage;
  request.prepacked = services_.prepacked;
  request.webroot = services_.webroot;
  request.handedOutFolders = services_.handedOutFolders;
  request.time = reader.firstByteTime();

  WebServerResponse response = WebServerResponse::serverError();
  try {
    response = route(request);
  } catch (const std::exception& e) {  // handlers answer with values; this is the last guard
    logger().fault("Route %s threw: %s", request.path, e.what());
  }
  respond(client, buffers, response, request);
  finishGently(client);
}

void WebServer::respond(tcp::TCPClient& client, WorkerBuffers& buffers, const WebServerResponse& response,
                        const WebServerRequest& request) {
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - request.time).count();
  const auto kind = response.kind();
  if (kind == WebServerResponse::Kind::ok || kind == WebServerResponse::Kind::partial) {
    if (verbose_)
      logger().info("%d | %s - %.2f ms: %s", response.statusCode(), rawValue(request.method), ms, request.path);
  } else {
    logger().error("%d | %s - %.2f ms: %s", response.statusCode(), rawValue(request.method), ms, request.path);
  }
  send(client, buffers, response.statusText(), response.headers(), response.body(), response.file());
}

void WebServer::badRequest(tcp::TCPClient& client, WorkerBuffers& buffers, std::string_view bytes) {
  logger().error("%d | Received %d bytes: %s ...", 400, static_cast<int>(bytes.size()), asciiPreview(bytes));
  send(client, buffers, "400 BAD REQUEST", {}, {});
}

void WebServer::send(tcp::TCPClient& client, WorkerBuffers& buffers, std::string_view statusText,
                     const WebServerHeaders& headers, std::string_view body,
                     const std::optional<WebServerFileRegion>& file) {
  std::string& head = buffers.answer;
  head.assign("HTTP/1.1 ");
  head += statusText;
  head += "\r\nAccess-Control-Allow-Origin: *\r\n";
  const std::uint64_t bodyLength = file && file->file ? file->length : body.size();
  bool saysLength = false;
  bool saysClose = false;
  for (const auto& [name, value] : headers) {
    saysLength = saysLength || equalsIgnoringCase(name, "Content-Length");
    saysClose = saysClose || equalsIgnoringCase(name, "Connection");
    head += headerSafe(name);
    head += ": ";
    head += headerSafe(value);
    head += "\r\n";
  }
  // Without a length, an answer cut short by a failed write looks complete to the client.
  if (!saysLength) {
    head += "Content-Length: ";
    head += std::to_string(bodyLength);
    head += "\r\n";
  }
  // We close after every answer; a client not told so may send its next request into a closing
  // socket, whose reset can destroy the unread end of this answer (HTTP/1.1 requires the header).
  if (!saysClose) head += "Connection: close\r\n";
  head += "\r\n";

  const int timeout = static_cast<int>(limits_.writeTimeout.count());
  tcp::Result result = tcp::Result::success();
  if (!file || !file->file) {
    result = client.send(head, body, timeout);
  } else if (file->length <= kInlineFileBytes &&
             readFully(file->file->fd(), buffers.file.get(), file->offset, static_cast<std::size_t>(file->length))) {
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

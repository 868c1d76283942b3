#include "KestromKit/server/WebServer.h"

#include <algorithm>
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

WebServer::WebServer(WebServerServices services, bool verbose, WebServerLimits limits)
    : verbose_(verbose), services_(std::move(services)), limits_(limits) {}

WebServer::~WebServer() { stop(); }

void WebServer::start(std::int32_t port) {
  std::lock_guard lock(mutex_);
  if (runLoop_.joinable() || stopping_) return;
  runLoop_ = std::thread([this, port] { runServer(port); });
}

void WebServer::stop() {
  stopping_ = true;
  std::thread runLoop;
  {
    std::lock_guard lock(mutex_);
    if (server_) server_->shutdown();
    for (auto* client : clients_) client->shutdown();
    runLoop = std::move(runLoop_);
    changed_.notify_all();  // an accept loop waiting for room gives up
    work_.notify_all();
  }
  if (runLoop.joinable()) runLoop.join();
  std::unique_lock lock(mutex_);
  for (auto* client : clients_) client->shutdown();  // connections picked up while we joined
  work_.notify_all();
  changed_.wait(lock, [this] { return workers_ == 0; });
  pending_.clear();
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
  while (!stopping_) {
    auto server = std::make_shared<tcp::TCPServer>(host_, port);
    {
      std::lock_guard lock(mutex_);
      server_ = server;
    }
    if (stopping_) break;  // `stop` may have shut down the previous socket only
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
    }
    logger().info("WebServer started on port: %d, requested port was: %d", bound, port);
    if (auto delegate = delegate_.lock()) delegate->webServerDidStart(bound);

    while (auto client = server->accept()) enqueue(std::move(client));

    if (stopping_) break;
    logger().info("WebServer stopped");
    port = bound;
  }
  std::lock_guard lock(mutex_);
  port_.reset();
}

void WebServer::enqueue(std::unique_ptr<tcp::TCPClient> client) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return clients_.size() + pending_.size() < limits_.maxConnections || stopping_; });
  if (stopping_) return;
  pending_.push_back(std::move(client));
  if (idleWorkers_ >= pending_.size()) {  // every waiting connection has an idle worker to take it
    work_.notify_one();
    return;
  }
  try {
    std::thread([this] { workerLoop(); }).detach();
    ++workers_;
  } catch (const std::system_error& e) {
    // No new thread to be had: a busy worker picks the connection up when it is done; with none
    // at all, drop it rather than keep a client waiting for nobody.
    logger().error("Unable to start a connection worker: %s", e.what());
    if (workers_ == 0) pending_.pop_back();
  }
}

void WebServer::workerLoop() {
  using namespace std::chrono_literals;
  std::unique_lock lock(mutex_);
  while (true) {
    ++idleWorkers_;
    // Idle workers retire after a while, so a burst does not leave its threads behind.
    bool woken = work_.wait_for(lock, 30s, [this] { return !pending_.empty() || stopping_; });
    --idleWorkers_;
    if (!woken || (stopping_ && pending_.empty())) break;
    std::unique_ptr<tcp::TCPClient> client = std::move(pending_.front());
    pending_.pop_front();
    if (stopping_) continue;  // closes it unserved
    clients_.insert(client.get());
    lock.unlock();
    try {
      handle(*client);
    } catch (const std::exception& e) {
      logger().fault("Connection ended by an exception: %s", e.what());
    }
    lock.lock();
    clients_.erase(client.get());
    client.reset();  // closes, after leaving clients_: `stop` never shuts down a reused descriptor
    changed_.notify_all();
  }
  --workers_;
  changed_.notify_all();  // under the lock: `stop` may destroy us as soon as it sees zero
}

void WebServer::handle(tcp::TCPClient& client) {
  fs::path spoolFolder = services_.temporaryFolder.empty() ? fs::path(Constants::path().tmp) : services_.temporaryFolder;
  WebServerRequestReader reader(client, limits_, spoolFolder);

  auto head = reader.readHead();
  if (!head) {
    if (head.error() == WebServerRequestReader::Failure::headTooLarge) {
      logger().error("%d | Request head over %d bytes", 431, static_cast<int>(limits_.maxHeadBytes));
      send(client, "431 REQUEST HEADER FIELDS TOO LARGE", {}, {});
    } else {
      // A connection that never sent a byte: a browser opens spare connections ahead of need and
      // lets the unused ones go idle. Routine, so not an error.
      logger().debug("%d | Request timeout: an idle connection sent no request", 408);
      send(client, "408 REQUEST TIMEOUT", {}, {});
    }
    finishGently(client);
    return;
  }

  auto parsed = parseRequestHead(*head);
  if (!parsed) {
    badRequest(client, *head);
    finishGently(client);
    return;
  }

  // After the request line, so a malformed request still learns it is malformed.
  const auto ownPort = static_cast<unsigned>(port().value_or(0));
  const auto origins = LoopbackGuard::pageOrigins(ownPort);
  bool allowed = true;
  for (const auto& host : headerValuesIgnoringCase(parsed->headers, "Host"))
    allowed = allowed && LoopbackGuard::allows(host, std::nullopt, ownPort, origins);
  for (const auto& origin : headerValuesIgnoringCase(parsed->headers, "Origin"))
    allowed = allowed && LoopbackGuard::allows(std::nullopt, origin, ownPort, origins);
  if (!allowed) {
    logger().error("%d | Refused a request for %s from another site", 403, parsed->path);
    send(client, "403 FORBIDDEN", {}, {});
    finishGently(client);
    return;
  }
  // Only the host's own page (or a browser let in through "/debug") knows the secret.
  if (services_.session && parsed->path != "/debug" && !services_.session->admits(cookieOf(parsed->headers))) {
    logger().error("%d | Refused a request for %s without the session cookie", 403, parsed->path);
    send(client, "403 FORBIDDEN", {}, {});
    finishGently(client);
    return;
  }

  std::string_view initial = std::string_view(*head).substr(parsed->bodyOffset);
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
        send(client, "413 PAYLOAD TOO LARGE", {}, {});
        break;
      case WebServerRequestReader::Failure::tooSlow:
        logger().error("%d | Request body too slow", 408);
        send(client, "408 REQUEST TIMEOUT", {}, {});
        break;
      case WebServerRequestReader::Failure::spoolFailed:
        logger().error("%d | Unable to store the request body", 500);
        send(client, "500 INTERNAL SERVER ERROR", {}, {});
        break;
      default:
        badRequest(client, *head);
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
  respond(client, response, request);
  finishGently(client);
}

void WebServer::respond(tcp::TCPClient& client, const WebServerResponse& response, const WebServerRequest& request) {
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - request.time).count();
  const auto kind = response.kind();
  if (kind == WebServerResponse::Kind::ok || kind == WebServerResponse::Kind::partial) {
    if (verbose_)
      logger().info("%d | %s - %.2f ms: %s", response.statusCode(), rawValue(request.method), ms, request.path);
  } else {
    logger().error("%d | %s - %.2f ms: %s", response.statusCode(), rawValue(request.method), ms, request.path);
  }
  send(client, response.statusText(), response.headers(), response.body(), response.file());
}

void WebServer::badRequest(tcp::TCPClient& client, std::string_view bytes) {
  logger().error("%d | Received %d bytes: %s ...", 400, static_cast<int>(bytes.size()), asciiPreview(bytes));
  send(client, "400 BAD REQUEST", {}, {});
}

void WebServer::send(tcp::TCPClient& client, std::string_view statusText, const WebServerHeaders& headers,
                     std::string_view body, const std::optional<WebServerFileRegion>& file) {
  std::string head = "HTTP/1.1 ";
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
  if (!saysLength) head += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
  // We close after every answer; a client not told so may send its next request into a closing
  // socket, whose reset can destroy the unread end of this answer (HTTP/1.1 requires the header).
  if (!saysClose) head += "Connection: close\r\n";
  head += "\r\n";

  const int timeout = static_cast<int>(limits_.writeTimeout.count());
  tcp::Result result = client.send(head, timeout);
  if (!result.isFailure()) {
    if (file && file->file) {
      if (file->length > 0) result = client.sendFile(file->file->fd(), file->offset, file->length, timeout);
    } else if (!body.empty()) {
      result = client.send(body, timeout);
    }
  }
  if (result.isFailure()) {
    logger().error("Unable to send status: %s body: %d error: %s", std::string(statusText),
                   static_cast<long long>(bodyLength),
                   result.error() ? result.error()->localizedDescription() : std::string("N/A"));
  }
}

}  // namespace kestrom

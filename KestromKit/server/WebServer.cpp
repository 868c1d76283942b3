#include "KestromKit/server/WebServer.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <system_error>

#include "KestromKit/base/AsciiCase.h"
#include "KestromKit/server/LoopbackGuard.h"
#include "KestromKit/server/SessionSecret.h"
#include "KestromKit/server/WebServerRequestParser.h"
#include "KestromKit/server/WebServerRequestReader.h"
#include "KestromKit/base/Constants.h"
#include "platform/tcp/DescriptorLimit.h"
#include "platform/tcp/TCPClient.h"
#include "platform/tcp/TCPServer.h"

namespace kestrom {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const log::Logger& logger() { return Constants::log().webServer; }

// Idle workers beyond the first retire after this long without a request.
constexpr std::chrono::milliseconds kIdleWorkerTimeout{30000};
// Files up to this size are read and sent with the answer's head in one write; larger ones
// stream from the page cache with sendfile(2).
constexpr std::size_t kInlineFileBytes = 64 * 1024;
// What a refused connection may still send us, and for how long, before it is closed anyway.
constexpr std::chrono::milliseconds kRefusedDrainTime{500};
constexpr std::size_t kRefusedDrainBytes = 1 << 20;
// Connections the run loop accepts in one go before it reads the heads that came meanwhile: a
// flood of new connections then cannot push out, as the oldest, one whose head is already there.
constexpr int kAcceptsAtOnce = 16;

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
void appendHeaderSafe(std::string& out, std::string_view text) {
  const std::size_t from = out.size();
  out += text;
  std::replace_if(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
}

// The head of every answer: its status, the given headers, its length and that we close.
void appendAnswerHead(std::string& head, std::string_view statusText, const WebServerHeaders& headers,
                      std::uint64_t bodyLength) {
  head.assign("HTTP/1.1 ");
  head += statusText;
  head += "\r\nAccess-Control-Allow-Origin: *\r\n";
  bool saysLength = false;
  bool saysClose = false;
  for (const auto& [name, value] : headers) {
    saysLength = saysLength || equalsIgnoringCase(name, "Content-Length");
    saysClose = saysClose || equalsIgnoringCase(name, "Connection");
    appendHeaderSafe(head, name);
    head += ": ";
    appendHeaderSafe(head, value);
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
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// `text` for the log, with every run of eight or more hex digits found in the secret left out.
std::string withoutSecret(std::string text, const SessionSecret* session) {
  if (!session) return text;
  const std::string& secret = session->value();
  for (std::size_t i = 0; i < text.size();) {
    std::size_t j = i;
    while (j < text.size() && isHexDigit(text[j])) ++j;
    bool fromSecret = false;
    for (std::size_t k = i; k + 8 <= j && !fromSecret; ++k) {
      std::string window = text.substr(k, 8);
      for (auto& c : window) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
      fromSecret = secret.find(window) != std::string::npos;
    }
    if (fromSecret) {
      constexpr std::string_view kLeftOut = "(left out)";
      text.replace(i, j - i, kLeftOut);
      j = i + kLeftOut.size();
    }
    i = j == i ? i + 1 : j;
  }
  return text;
}

// The first bytes of a bad request for the log: printable ASCII, else "N/A". The page's cookie is
// the session secret, so a Cookie line keeps its name only, and no run of the secret's digits
// survives anywhere else either (a secret sent in the target, a folded line).
std::string logPreview(std::string_view bytes, const SessionSecret* session) {
  std::string_view head = bytes.substr(0, std::min<std::size_t>(bytes.size(), 100));
  bool ascii = std::all_of(head.begin(), head.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) return "N/A";
  std::string out;
  while (!head.empty()) {
    std::size_t end = head.find('\n');
    std::string_view line = head.substr(0, end);
    head = end == std::string_view::npos ? std::string_view{} : head.substr(end + 1);
    std::size_t colon = line.find(':');
    std::string_view name = colon == std::string_view::npos ? std::string_view{} : line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (colon != std::string_view::npos && equalsIgnoringCase(name, "Cookie")) {
      out += line.substr(0, colon + 1);
      out += " (left out)";
      if (line.back() == '\r') out += '\r';
    } else {
      out += line;
    }
    if (end != std::string_view::npos) out += '\n';
  }
  return withoutSecret(std::move(out), session);
}

// Closing with unread input makes the kernel reset the connection, which can destroy our answer
// before the peer reads it: end our side first and let the peer finish (bounded). The worker loop
// closes the socket afterwards, under the lock that `stop` takes to wake connections.
void finishGently(tcp::TCPClient& client) {
  auto pending = client.bytesAvailable();
  client.shutdownWrite();
  if (pending && *pending > 0) client.drain(static_cast<int>(kRefusedDrainTime.count()), kRefusedDrainBytes);
}

// epoll's marks for the two descriptors that are not connections.
char wakeMark;
char listenerMark;

}  // namespace

std::optional<std::string> cookieOf(const std::map<std::string, std::string>& headers) {
  auto values = headerValuesIgnoringCase(headers, "Cookie");
  if (values.empty()) return std::nullopt;
  std::string joined;
  for (const auto& value : values) joined += (joined.empty() ? "" : "; ") + value;
  return joined;
}

struct WebServer::WorkerBuffers {
  WorkerBuffers() : file(std::make_unique_for_overwrite<char[]>(kInlineFileBytes)) {}
  std::unique_ptr<char[]> file;  // a small file's bytes, sent in one write with the answer's head
  std::string answer;            // the answer's head
};

// Every connection of one listening socket until its head is complete, on the run-loop thread:
// accepts, reads heads, answers those that fail a check and hands the rest to the workers. Held
// connections are kept in the order they came; as every one has the same time limit, the oldest
// is always the first due.
class WebServer::HeadLoop {
 public:
  HeadLoop(WebServer& server, tcp::TCPServer& listener)
      : server_(server), listener_(listener), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) return;
    epoll_event wake{EPOLLIN, {.ptr = &wakeMark}};
    epoll_event listening{EPOLLIN, {.ptr = &listenerMark}};
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, server_.wakeFd_, &wake) != 0 ||
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_.fd(), &listening) != 0) {
      ::close(epoll_);
      epoll_ = -1;
    }
  }
  ~HeadLoop() {
    for (auto& c : heads_) ::close(c.fd);
    for (auto& c : draining_) ::close(c.fd);
    if (epoll_ >= 0) ::close(epoll_);
  }
  HeadLoop(const HeadLoop&) = delete;
  HeadLoop& operator=(const HeadLoop&) = delete;

  bool ready() const { return epoll_ >= 0; }

  /// Until the listening socket fails (true) or the server stops (false).
  bool run() {
    std::array<epoll_event, 64> events{};
    while (!server_.stopping_) {
      const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeoutMs());
      if (n < 0 && errno != EINTR) {
        logger().error("WebServer Unable to wait for connections: %s", tcp::SocketError{errno}.localizedDescription());
        return true;
      }
      bool accepting = false;
      for (int i = 0; i < n; ++i) {
        void* mark = events[static_cast<std::size_t>(i)].data.ptr;
        if (mark == &wakeMark) {
          std::uint64_t count = 0;
          (void)!::read(server_.wakeFd_, &count, sizeof count);
          server_.joinRetired();
        } else if (mark == &listenerMark) {
          accepting = true;  // after the heads of this round
        } else {
          auto* c = static_cast<Connection*>(mark);
          if (c->fd < 0) continue;  // closed by an earlier event of this round
          if (c->draining) drain(c->self);
          else readHead(c->self);
        }
      }
      if (accepting && !acceptWaiting()) return !server_.stopping_;
      gone_.clear();
      expire(Clock::now());
      gone_.clear();
    }
    return false;
  }

 private:
  struct Connection;
  using List = std::list<Connection>;
  struct Connection {
    int fd = -1;
    List::iterator self;
    Clock::time_point deadline;
    Clock::time_point firstByte;
    std::string bytes;
    bool watched = false;   // registered with epoll
    bool draining = false;  // refused: what it still sends is read and dropped
    std::size_t drained = 0;
  };

  const WebServerLimits& limits() const { return server_.limits_; }

  int timeoutMs() const {
    std::optional<Clock::time_point> due;
    if (!heads_.empty()) due = heads_.front().deadline;
    if (!draining_.empty()) due = due ? std::min(*due, draining_.front().deadline) : draining_.front().deadline;
    if (!due) return -1;  // nothing held: sleep until something happens
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 24LL * 3600 * 1000));
  }

  // False when the listening socket is no longer usable.
  bool acceptWaiting() {
    for (int i = 0; i < kAcceptsAtOnce; ++i) {
      const auto accepted = listener_.acceptNow();
      switch (accepted.status) {
        case tcp::TCPServer::AcceptStatus::accepted:
          add(accepted.fd);
          break;
        case tcp::TCPServer::AcceptStatus::timedOut:
          return true;
        case tcp::TCPServer::AcceptStatus::shortage:
          // Out of descriptors: shed held connections first, else take one from the backlog and
          // close it, so the loop neither spins nor leaves the page's connection stuck behind it.
          if (!draining_.empty()) {
            close(draining_.begin(), draining_);
          } else if (!heads_.empty()) {
            close(heads_.begin(), heads_);
          } else if (!reserve_.acceptAndClose(listener_.fd())) {
            logger().error("WebServer Accepting a connection failed: %s", "out of descriptors or memory");
            return true;
          }
          break;
        case tcp::TCPServer::AcceptStatus::closed:
          return false;
      }
    }
    return true;
  }

  void add(int fd) {
    if (heads_.size() >= std::max<std::size_t>(1, limits().maxPendingHeads)) {
      logger().debug("Dropped the oldest of %d connections still sending their request head",
                     static_cast<int>(heads_.size()));
      close(heads_.begin(), heads_);
    }
    heads_.emplace_back();
    auto c = std::prev(heads_.end());
    c->self = c;
    c->fd = fd;
    c->deadline = Clock::now() + std::min(limits().headTimeout, limits().readTimeout);
    readHead(c);  // a client usually sends its head with the connection
  }

  bool watch(List::iterator c) {
    if (c->watched) return true;
    epoll_event event{EPOLLIN | EPOLLRDHUP, {.ptr = &*c}};
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, c->fd, &event) != 0) return false;
    c->watched = true;
    return true;
  }

  void close(List::iterator c, List& from) {
    ::close(c->fd);  // also ends its registration with epoll
    c->fd = -1;
    gone_.splice(gone_.end(), from, c);
  }

  void readHead(List::iterator c) {
    const std::size_t capacity = WebServerRequestReader::headBufferSize(limits());
    while (true) {
      const std::size_t room = std::min(capacity - c->bytes.size(), chunk_.size());
      const ssize_t n = ::recv(c->fd, chunk_.data(), room, 0);
      if (n > 0) {
        if (c->bytes.empty()) c->firstByte = Clock::now();
        const std::size_t resume = c->bytes.size() >= 3 ? c->bytes.size() - 3 : 0;
        c->bytes.append(chunk_.data(), static_cast<std::size_t>(n));
        if (auto end = findHeadEnd(c->bytes, resume)) {
          if (*end > limits().maxHeadBytes) return headTooLarge(c);
          return finishHead(c);
        }
        if (c->bytes.size() > limits().maxHeadBytes + 3) return headTooLarge(c);
        continue;
      }
      if (n == 0) {  // the peer closed: what came is all there is
        if (c->bytes.empty()) return quiet(c);
        return finishHead(c);
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!watch(c)) close(c, heads_);
        return;
      }
      return close(c, heads_);
    }
  }

  void headTooLarge(List::iterator c) {
    logger().error("%d | Request head over %d bytes", 431, static_cast<int>(limits().maxHeadBytes));
    refuse(c, "431 REQUEST HEADER FIELDS TOO LARGE");
  }

  void quiet(List::iterator c) {
    // A connection that never sent a byte: a browser opens spare connections ahead of need and
    // lets the unused ones go idle. Routine, so not an error.
    logger().debug("%d | Request timeout: an idle connection sent no request", 408);
    refuse(c, "408 REQUEST TIMEOUT");
  }

  // The head is complete, or all that came before the peer closed or time ran out.
  void finishHead(List::iterator c) {
    auto parsed = parseRequestHead(c->bytes);
    if (!parsed) {
      logger().error("%d | Received %d bytes: %s ...", 400, static_cast<int>(c->bytes.size()),
                     logPreview(c->bytes, server_.services_.session.get()));
      return refuse(c, "400 BAD REQUEST");
    }
    // After the request line, so a malformed request still learns it is malformed.
    const auto ownPort = static_cast<unsigned>(server_.servingPort_.load());
    bool allowed = true;
    for (const auto& host : headerValuesIgnoringCase(parsed->headers, "Host"))
      allowed = allowed && LoopbackGuard::allows(host, std::nullopt, ownPort, {});
    const auto origins = headerValuesIgnoringCase(parsed->headers, "Origin");
    if (!origins.empty()) {
      const auto pageOrigins = LoopbackGuard::pageOrigins(ownPort);
      for (const auto& origin : origins) allowed = allowed && LoopbackGuard::allows(std::nullopt, origin, ownPort, pageOrigins);
    }
    if (!allowed) {
      logger().error("%d | Refused a request for %s from another site", 403,
                     withoutSecret(parsed->path, server_.services_.session.get()));
      return refuse(c, "403 FORBIDDEN");
    }
    // Only the host's own page (or a browser let in through "/debug") knows the secret.
    const auto& session = server_.services_.session;
    if (session && parsed->path != "/debug" && !session->admits(cookieOf(parsed->headers))) {
      logger().error("%d | Refused a request for %s without the session cookie", 403, withoutSecret(parsed->path, session.get()));
      return refuse(c, "403 FORBIDDEN");
    }
    if (c->watched) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c->fd, nullptr);
    CheckedRequest checked{c->fd, std::move(c->bytes), std::move(*parsed), c->firstByte};
    c->fd = -1;
    gone_.splice(gone_.end(), heads_, c);
    server_.dispatch(std::move(checked));
  }

  // Answers a connection the loop will not hand on, then lets it finish what it sends (bounded).
  void refuse(List::iterator c, std::string_view statusText) {
    appendAnswerHead(answer_, statusText, {}, 0);
    const ssize_t sent = ::send(c->fd, answer_.data(), answer_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent != static_cast<ssize_t>(answer_.size())) {
      logger().error("Unable to send status: %s body: %d error: %s", std::string(statusText), 0LL,
                     sent < 0 ? tcp::SocketError{errno}.localizedDescription() : std::string("short write"));
    }
    ::shutdown(c->fd, SHUT_WR);
    int pending = 0;
    if (::ioctl(c->fd, FIONREAD, &pending) != 0 || pending <= 0) return close(c, heads_);
    if (draining_.size() >= std::max<std::size_t>(1, limits().maxPendingHeads)) close(draining_.begin(), draining_);
    c->draining = true;
    c->deadline = Clock::now() + kRefusedDrainTime;
    draining_.splice(draining_.end(), heads_, c);
    if (!watch(c)) return close(c, draining_);
    drain(c);
  }

  void drain(List::iterator c) {
    while (true) {
      const ssize_t n = ::recv(c->fd, chunk_.data(), chunk_.size(), 0);
      if (n > 0) {
        c->drained += static_cast<std::size_t>(n);
        if (c->drained >= kRefusedDrainBytes) return close(c, draining_);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      return close(c, draining_);
    }
  }

  void expire(Clock::time_point now) {
    while (!heads_.empty() && heads_.front().deadline <= now) {
      auto c = heads_.begin();
      if (c->bytes.empty()) quiet(c);
      else finishHead(c);  // a head cut off mid-line is parsed as it stands
    }
    while (!draining_.empty() && draining_.front().deadline <= now) close(draining_.begin(), draining_);
  }

  WebServer& server_;
  tcp::TCPServer& listener_;
  int epoll_;
  List heads_;     // still sending their head, oldest first
  List draining_;  // refused, oldest first
  List gone_;      // closed or handed on during this round of events: freed after it
  tcp::DescriptorReserve reserve_;
  std::array<char, 16 * 1024> chunk_{};
  std::string answer_;
};

WebServer::WebServer(WebServerServices services, bool verbose, WebServerLimits limits)
    : verbose_(verbose), services_(std::move(services)), limits_(limits),
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
  runLoop_ = std::thread([this, port] { runServer(port); });
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
    if (server_) server_->shutdown();
    for (auto& worker : workers_) {
      if (worker.client) worker.client->shutdown();
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
    changed_.wait(lock, [this] { return workers_.empty(); });
    finished.swap(retired_);
    unserved.swap(ready_);
    wholeReady_ = 0;
  }
  for (auto& worker : finished) worker.thread.join();
  for (auto& checked : unserved) ::close(checked.fd);
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
    const auto length = declaredContentLength(checked.head.headers);
    const std::size_t bodyHere = checked.bytes.size() - std::min(checked.bytes.size(), checked.head.bodyOffset);
    if (!length || *length <= static_cast<std::int64_t>(bodyHere)) {
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
      handle(*client, checked, *buffers);
    } catch (const std::exception& e) {
      logger().fault("Connection ended by an exception: %s", e.what());
    }
    lock.lock();
    self->client = nullptr;  // from here `stop` no longer touches it, so it may close unlocked
    lock.unlock();
    client.reset();
    lock.lock();
  }
  retired_.splice(retired_.end(), workers_, self);
  changed_.notify_all();  // under the lock: `stop` may destroy us as soon as it has joined us
  wakeRunLoop();          // which joins us
}

void WebServer::handle(tcp::TCPClient& client, CheckedRequest& checked, WorkerBuffers& buffers) {
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
                       logPreview(checked.bytes, services_.session.get()));
        send(client, buffers, "400 BAD REQUEST", {}, {});
        break;
    }
    finishGently(client);
    return;
  }

  WebServerRequest request;
  request.method = parsed.method;
  request.headers = std::move(parsed.headers);
  request.path = std::move(parsed.path);
  request.pathParts = std::move(parsed.pathParts);
  request.urlComponents = std::move(parsed.urlComponents);
  request.body = std::move(*body);
  request.defaultLanguage = services_.defaultLanguage ? services_.defaultLanguage() : std::string();
  request.fallbackLanguage = services_.fallbackLanguage;
  request.prepacked = services_.prepacked;
  request.webroot = services_.webroot;
  request.handedOutFolders = services_.handedOutFolders;
  request.time = checked.firstByte;

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

void WebServer::send(tcp::TCPClient& client, WorkerBuffers& buffers, std::string_view statusText,
                     const WebServerHeaders& headers, std::string_view body,
                     const std::optional<WebServerFileRegion>& file) {
  std::string& head = buffers.answer;
  const std::uint64_t bodyLength = file && file->file ? file->length : body.size();
  appendAnswerHead(head, statusText, headers, bodyLength);

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

#include "KestromKit/server/WebServerHeadLoop.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "KestromKit/base/Constants.h"
#include "KestromKit/server/LoopbackGuard.h"
#include "KestromKit/server/SessionSecret.h"
#include "KestromKit/server/WebServerAnswer.h"
#include "platform/files/DescriptorIO.h"
#include "platform/log/RequestValue.h"
#include "platform/tcp/TCPServer.h"

namespace kestrom {

namespace {

const log::Logger& logger() { return Constants::log().webServer; }

// Connections the run loop accepts in one go before it reads the heads that came meanwhile: a
// flood of new connections then cannot push out, as the oldest, one whose head is already there.
constexpr int kAcceptsAtOnce = 16;

// Connections held at most in each of the two lists, whatever the descriptor limit.
constexpr std::size_t kMostHeld = 128;

// epoll's marks for the two descriptors that are not connections.
char wakeMark;
char listenerMark;

// Whether a head says a body follows it: a Transfer-Encoding, or a Content-Length other than 0.
bool declaresBody(const std::map<std::string, std::string>& headers) {
  if (!headerValuesIgnoringCase(headers, "Transfer-Encoding").empty()) return true;
  if (headerValuesIgnoringCase(headers, "Content-Length").empty()) return false;
  const auto length = declaredContentLength(headers);
  return !length || *length != 0;
}

}  // namespace

WebServer::HeadLoop::HeadLoop(WebServer& server, tcp::TCPServer& listener)
    : server_(server), listener_(listener),
      mostHeld_(server.limits_.maxPendingHeads ? std::max<std::size_t>(1, *server.limits_.maxPendingHeads)
                                               : tcp::heldConnectionCap(kMostHeld)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      malformedLog_(server.limits_.refusalLinesPerSecond, countTimer()),
      otherSiteLog_(server.limits_.refusalLinesPerSecond, countTimer()),
      noCookieLog_(server.limits_.refusalLinesPerSecond, countTimer()),
      debugBodyLog_(server.limits_.refusalLinesPerSecond, countTimer()),
      debugCodeLog_(server.limits_.refusalLinesPerSecond, countTimer()),
      headTooLargeLog_(server.limits_.refusalLinesPerSecond, countTimer()),
      quietLog_(server.limits_.refusalLinesPerSecond, countTimer()),
      sendFailedLog_(server.limits_.refusalLinesPerSecond, countTimer()) {
  if (epoll_ < 0) return;
  epoll_event wake{EPOLLIN, {.ptr = &wakeMark}};
  epoll_event listening{EPOLLIN, {.ptr = &listenerMark}};
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, server_.wakeFd_, &wake) != 0 ||
      ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_.fd(), &listening) != 0) {
    ::close(epoll_);
    epoll_ = -1;
  }
}

WebServer::HeadLoop::~HeadLoop() {
  for (auto& c : heads_) ::close(c.fd);
  for (auto& c : draining_) ::close(c.fd);
  if (epoll_ >= 0) ::close(epoll_);
}

bool WebServer::HeadLoop::run() {
  std::array<epoll_event, 64> events{};
  while (!server_.stopping_) {
    reserve_.replenish();
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
    const auto now = Clock::now();
    if (listenAgainAt_ && *listenAgainAt_ <= now) resumeListening(now);
    expire(now);
    gone_.clear();
    if (countsDue_ && *countsDue_ <= now) writeDueCounts(now);
  }
  return false;
}

log::RateLimit::ArmTimer WebServer::HeadLoop::countTimer() {
  return [this](Clock::time_point due) { countsDue_ = countsDue_ ? std::min(*countsDue_, due) : due; };
}

std::array<log::RateLimit*, 9> WebServer::HeadLoop::rateLimits() {
  return {&malformedLog_, &otherSiteLog_, &noCookieLog_, &debugBodyLog_, &debugCodeLog_,
          &headTooLargeLog_, &quietLog_, &sendFailedLog_, &shortageLog_};
}

void WebServer::HeadLoop::writeDueCounts(Clock::time_point now) {
  countsDue_ = log::RateLimit::writeDueCounts(rateLimits(), now);
}

int WebServer::HeadLoop::timeoutMs() const {
  std::optional<Clock::time_point> due;
  if (!heads_.empty()) due = heads_.front().deadline;
  if (!draining_.empty()) due = due ? std::min(*due, draining_.front().deadline) : draining_.front().deadline;
  if (listenAgainAt_) due = due ? std::min(*due, *listenAgainAt_) : *listenAgainAt_;
  if (countsDue_) due = due ? std::min(*due, *countsDue_) : *countsDue_;
  if (!due) return -1;  // nothing held: sleep until something happens
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 24LL * 3600 * 1000));
}

bool WebServer::HeadLoop::acceptWaiting() {
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
          shortageLog_.write(logger(), log::Level::error, "WebServer Accepting a connection failed: %s",
                             "out of descriptors or memory");
          pauseListening(Clock::now());
          return true;
        }
        break;
      case tcp::TCPServer::AcceptStatus::closed:
        return false;
    }
  }
  return true;
}

void WebServer::HeadLoop::pauseListening(Clock::time_point now) {
  // Its backlog keeps it readable: watched, it would wake the loop at once, again and again.
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_.fd(), nullptr);
  listenAgainAt_ = now + tcp::DescriptorReserve::kPause;
}

void WebServer::HeadLoop::resumeListening(Clock::time_point now) {
  epoll_event listening{EPOLLIN, {.ptr = &listenerMark}};
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_.fd(), &listening) == 0) listenAgainAt_.reset();
  else listenAgainAt_ = now + tcp::DescriptorReserve::kPause;
}

void WebServer::HeadLoop::add(int fd) {
  if (heads_.size() >= mostHeld_) {
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

bool WebServer::HeadLoop::watch(List::iterator c) {
  if (c->watched) return true;
  epoll_event event{EPOLLIN | EPOLLRDHUP, {.ptr = &*c}};
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, c->fd, &event) != 0) return false;
  c->watched = true;
  return true;
}

void WebServer::HeadLoop::close(List::iterator c, List& from) {
  ::close(c->fd);  // also ends its registration with epoll
  c->fd = -1;
  gone_.splice(gone_.end(), from, c);
}

void WebServer::HeadLoop::readHead(List::iterator c) {
  const std::size_t capacity = limits().maxHeadBytes + 4;  // the head limit and its blank line
  while (true) {
    const std::size_t room = std::min(capacity - c->bytes.size(), chunk_.size());
    const ssize_t n = ::recv(c->fd, chunk_.data(), room, 0);
    if (n > 0) {
      if (c->bytes.empty()) c->firstByte = Clock::now();
      c->readAll = static_cast<std::size_t>(n) < room;
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
      c->readAll = false;  // what comes meanwhile is not known
      if (!watch(c)) close(c, heads_);
      return;
    }
    return close(c, heads_);
  }
}

void WebServer::HeadLoop::headTooLarge(List::iterator c) {
  headTooLargeLog_.write(logger(), log::Level::error, "%d | Request head over %d bytes", 431,
                         static_cast<int>(limits().maxHeadBytes));
  answer(c, "431 REQUEST HEADER FIELDS TOO LARGE");
}

void WebServer::HeadLoop::quiet(List::iterator c) {
  // A connection that never sent a byte: a browser opens spare connections ahead of need and
  // lets the unused ones go idle. Routine, so not an error.
  quietLog_.write(logger(), log::Level::debug, "%d | Request timeout: an idle connection sent no request", 408);
  answer(c, "408 REQUEST TIMEOUT");
}

void WebServer::HeadLoop::finishHead(List::iterator c) {
  auto parsed = parseRequestHead(c->bytes);
  if (!parsed) {
    malformedLog_.write(logger(), log::Level::error, "%d | Received %d bytes: %s ...", 400,
                        static_cast<int>(c->bytes.size()), logPreview(c->bytes));
    return answer(c, "400 BAD REQUEST");
  }
  // After the request line, so a malformed request still learns it is malformed.
  const auto ownPort = static_cast<unsigned>(server_.servingPort_.load());
  // An absolute-form target names the host it is for, as a Host header does: the same check.
  bool allowed = !parsed->authority || LoopbackGuard::allows(*parsed->authority, std::nullopt, ownPort, {});
  for (const auto& host : headerValuesIgnoringCase(parsed->headers, "Host"))
    allowed = allowed && LoopbackGuard::allows(host, std::nullopt, ownPort, {});
  const auto origins = headerValuesIgnoringCase(parsed->headers, "Origin");
  if (!origins.empty()) {
    const auto pageOrigins = LoopbackGuard::pageOrigins(ownPort);
    for (const auto& origin : origins) allowed = allowed && LoopbackGuard::allows(std::nullopt, origin, ownPort, pageOrigins);
  }
  if (!allowed) {
    otherSiteLog_.write(logger(), log::Level::error, "%d | Refused a request for %s from another site", 403,
                        log::requestValue(parsed->path));
    return answer(c, "403 FORBIDDEN");
  }
  if (parsed->path == "/debug") return answerDebug(c, std::move(*parsed));
  // Only the host's own page (or a browser let in through "/debug") knows the secret.
  const auto& session = server_.services_.session;
  if (session && !session->admits(cookieOf(parsed->headers))) {
    noCookieLog_.write(logger(), log::Level::error, "%d | Refused a request for %s without the session cookie", 403,
                       log::requestValue(parsed->path));
    return answer(c, "403 FORBIDDEN");
  }
  // A static file needs nothing but the disk, which the page's own files are in the page cache
  // for: the loop answers it without the hop to a worker (a body, if any, is all here and unread).
  if (!server_.route_ && WebServerRoutes::servesStaticFile(*parsed) && bodyIsHere(*parsed, c->bytes))
    return answerStaticFile(c, std::move(*parsed));
  handOn(c, CheckedRequest{c->fd, std::move(c->bytes), std::move(*parsed), c->firstByte, std::nullopt});
}

void WebServer::HeadLoop::handOn(List::iterator c, CheckedRequest checked) {
  if (c->watched) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c->fd, nullptr);
  c->fd = -1;
  gone_.splice(gone_.end(), heads_, c);
  server_.dispatch(std::move(checked));
}

void WebServer::HeadLoop::answerStaticFile(List::iterator c, WebServerRequestHead&& head) {
  std::optional<WebServerRequest> request;
  WebServerResponse response = WebServerResponse::serverError();
  try {
    const std::size_t bodyAt = std::min(c->bytes.size(), head.bodyOffset);
    request.emplace(server_.requestFor(std::move(head), WebServerBody(c->bytes.substr(bodyAt)), c->firstByte));
    response = server_.routes_.route(*request);
  } catch (const std::exception& e) {
    logger().fault("Connection ended by an exception: %s", e.what());
    return close(c, heads_);
  }
  server_.logAnswer(response, *request);

  const auto& file = response.file();
  const bool hasFile = file && file->file;
  const bool withBody = request->method != WebServerRequestMethod::head;
  const std::uint64_t length = hasFile ? file->length : response.body().size();
  std::string_view body = withBody ? std::string_view(response.body()) : std::string_view();
  if (hasFile && withBody) {
    if (!file_) file_ = std::make_unique_for_overwrite<char[]>(kInlineFileBytes);
    // Large, or changed under us: a worker streams it (and reports a short file).
    if (file->length > kInlineFileBytes ||
        !files::readFully(file->file->fd(), file_.get(), file->offset, static_cast<std::size_t>(file->length)))
      return handOn(c, CheckedRequest{c->fd, {}, {}, c->firstByte, RoutedAnswer{std::move(response), std::nullopt}});
    body = std::string_view(file_.get(), static_cast<std::size_t>(file->length));
  }
  appendAnswerHead(answer_, response.statusText(), response.headers(), length);
  std::array<iovec, 2> parts{iovec{answer_.data(), answer_.size()}, iovec{const_cast<char*>(body.data()), body.size()}};
  msghdr message{};
  message.msg_iov = parts.data();
  message.msg_iovlen = body.empty() ? 1 : 2;
  // MSG_MORE: the answer leaves with the close that follows at once (or with the rest a worker
  // writes), in one segment with our FIN, so the client wakes once for it instead of twice.
  ssize_t sent;
  do sent = ::sendmsg(c->fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT | MSG_MORE);
  while (sent < 0 && errno == EINTR);
  const std::size_t total = answer_.size() + body.size();
  if (sent == static_cast<ssize_t>(total)) return finishAnswered(c);
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    logger().error("Unable to send status: %s body: %d error: %s", std::string(response.statusText()),
                   static_cast<long long>(body.size()), tcp::SocketError{errno}.localizedDescription());
    return close(c, heads_);
  }
  // The socket's buffer is full (a slow reader): a worker waits for room, as for any answer.
  const std::size_t done = sent < 0 ? 0 : static_cast<std::size_t>(sent);
  std::string rest;
  rest.reserve(total - done);
  if (done < answer_.size()) rest.append(answer_, done);
  rest.append(body.substr(done > answer_.size() ? done - answer_.size() : 0));
  handOn(c, CheckedRequest{c->fd, {}, {}, c->firstByte, RoutedAnswer{std::move(response), std::move(rest)}});
}

void WebServer::HeadLoop::answerDebug(List::iterator c, WebServerRequestHead&& head) {
  // Anyone may ask, so nothing here waits for the client or writes anywhere: the code is in the
  // target, and a body (which could take hours to arrive) is refused unread.
  if (declaresBody(head.headers)) {
    debugBodyLog_.write(logger(), log::Level::error, "%d | Refused \"/debug\" with a body", 400);
    return answer(c, "400 BAD REQUEST");
  }
  std::optional<WebServerRequest> request;
  WebServerResponse response = WebServerResponse::serverError();
  try {
    request.emplace(server_.requestFor(std::move(head), WebServerBody(), c->firstByte));
    response = server_.routes_.route(*request);
  } catch (const std::exception& e) {
    logger().fault("Connection ended by an exception: %s", e.what());
    return close(c, heads_);
  }
  if (response.kind() == WebServerResponse::Kind::forbidden) {
    debugCodeLog_.write(logger(), log::Level::error, "%d | Refused \"/debug\" without a valid one-time code", 403);
  } else {
    server_.logAnswer(response, *request);
  }
  answer(c, response.statusText(), response.headers());
}

void WebServer::HeadLoop::answer(List::iterator c, std::string_view statusText, const WebServerHeaders& headers) {
  appendAnswerHead(answer_, statusText, headers, 0);
  const ssize_t sent = ::send(c->fd, answer_.data(), answer_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent != static_cast<ssize_t>(answer_.size())) {  // a peer that left at once, say
    sendFailedLog_.write(logger(), log::Level::error, "Unable to send status: %s body: %d error: %s",
                         std::string(statusText), 0LL,
                         sent < 0 ? tcp::SocketError{errno}.localizedDescription() : std::string("short write"));
  }
  finishAnswered(c);
}

void WebServer::HeadLoop::finishAnswered(List::iterator c) {
  // Closing with unread input makes the kernel reset the connection, which can destroy the answer
  // before the peer reads it. Without any, closing ends our side as shutdown(2) would. A read that
  // took less than it asked for has left nothing behind.
  int pending = 0;
  if (c->readAll || ::ioctl(c->fd, FIONREAD, &pending) != 0 || pending <= 0) return close(c, heads_);
  ::shutdown(c->fd, SHUT_WR);
  if (draining_.size() >= mostHeld_) close(draining_.begin(), draining_);
  c->draining = true;
  c->deadline = Clock::now() + kRefusedDrainTime;
  draining_.splice(draining_.end(), heads_, c);
  if (!watch(c)) return close(c, draining_);
  drain(c);
}

void WebServer::HeadLoop::drain(List::iterator c) {
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

void WebServer::HeadLoop::expire(Clock::time_point now) {
  while (!heads_.empty() && heads_.front().deadline <= now) {
    auto c = heads_.begin();
    if (c->bytes.empty()) quiet(c);
    else finishHead(c);  // a head cut off mid-line is parsed as it stands
  }
  while (!draining_.empty() && draining_.front().deadline <= now) close(draining_.begin(), draining_);
}

}  // namespace kestrom

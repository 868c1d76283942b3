#include "tests/support/RawHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <regex>

#include "platform/AsciiCase.h"

namespace kestrom::test {

namespace {

int msLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

}  // namespace

std::optional<std::string> RawHttpResponse::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (equalsIgnoringCase(n, name)) return v;
  }
  return std::nullopt;
}

bool isHttpDate(std::string_view text) {
  static const std::regex date(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT)");
  return std::regex_match(text.begin(), text.end(), date);
}

std::string withoutDate(std::string_view raw) {
  const std::size_t at = raw.find("\r\nDate: ");
  const std::size_t end = at == std::string_view::npos ? at : raw.find("\r\n", at + 2);
  if (end == std::string_view::npos) return std::string(raw);
  return std::string(raw.substr(0, at)) + std::string(raw.substr(end));
}

RawHttpResponse parseRawHttpResponse(std::string raw) {
  RawHttpResponse r;
  r.raw = std::move(raw);
  std::string_view text = r.raw;
  std::size_t headEnd = text.find("\r\n\r\n");
  std::string_view head = text.substr(0, headEnd);
  if (headEnd != std::string_view::npos) r.body = std::string(text.substr(headEnd + 4));
  std::size_t lineEnd = head.find("\r\n");
  r.statusLine = std::string(head.substr(0, lineEnd));
  if (r.statusLine.size() >= 12 && r.statusLine.starts_with("HTTP/1.1 ")) {
    try {
      r.status = std::stoi(r.statusLine.substr(9, 3));
    } catch (...) {
      r.status = 0;
    }
  }
  while (lineEnd != std::string_view::npos) {
    head.remove_prefix(lineEnd + 2);
    lineEnd = head.find("\r\n");
    std::string_view line = head.substr(0, lineEnd);
    std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) continue;
    r.headers.emplace_back(std::string(line.substr(0, colon)), std::string(line.substr(colon + 2)));
  }
  return r;
}

std::string makeHttpRequest(std::string_view method, std::string_view target,
                            const std::vector<std::pair<std::string, std::string>>& headers, std::string_view body) {
  std::string out;
  out += method;
  out += ' ';
  out += target;
  out += " HTTP/1.1\r\n";
  bool hasLength = false;
  for (const auto& [name, value] : headers) {
    hasLength = hasLength || equalsIgnoringCase(name, "Content-Length");
    out += name + ": " + value + "\r\n";
  }
  if (!body.empty() && !hasLength) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  out += "\r\n";
  out += body;
  return out;
}

RawHttpConnection::RawHttpConnection(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

RawHttpConnection::~RawHttpConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawHttpConnection::send(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return fd_ >= 0;
}

void RawHttpConnection::shutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

std::string RawHttpConnection::readSome(std::size_t count, std::chrono::milliseconds timeout) {
  if (fd_ < 0) return {};
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return {};
  std::string out(count, '\0');
  ssize_t n = ::recv(fd_, out.data(), count, 0);
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

RawHttpResponse RawHttpConnection::readResponse(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string raw;
  bool timedOut = true;
  char buffer[65536];
  while (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, msLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // closed (or reset) by the server
      timedOut = false;
      break;
    }
    raw.append(buffer, static_cast<std::size_t>(n));
  }
  RawHttpResponse r = parseRawHttpResponse(std::move(raw));
  r.timedOut = timedOut;
  return r;
}

bool RawHttpConnection::waitForClose(std::chrono::milliseconds timeout) {
  return !readResponse(timeout).timedOut;
}

void RawHttpConnection::abort() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd_);
  fd_ = -1;
}

RawHttpResponse rawHttp(std::uint16_t port, std::string_view bytes, std::chrono::milliseconds timeout) {
  RawHttpConnection connection(port);
  if (!connection.connected()) return {};
  connection.send(bytes);
  return connection.readResponse(timeout);
}

}  // namespace kestrom::test

#include "tests/downloader/HttpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace kestrom::test {

namespace {

constexpr std::size_t kMaxHead = 16 * 1024;

const char* reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

}  // namespace

bool HttpPeer::Connection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    if (stopping()) return false;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool HttpPeer::Connection::sendHead(int status, const std::vector<std::string>& headers) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
  for (const auto& h : headers) head += h + "\r\n";
  head += "Connection: close\r\n\r\n";
  return send(head);
}

bool HttpPeer::Connection::idle(int ms) {
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, ms);
  if (stopping()) return false;
  if (ready <= 0) return true;
  // Readable after the request was read: the client closed (or sent what we ignore).
  char byte;
  return ::recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK) > 0;
}

HttpPeer::HttpPeer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::runtime_error("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener_);
    throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpPeer::~HttpPeer() {
  stopping_ = true;
  acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);  // wakes handlers blocked in send or recv
    workers.swap(workers_);
  }
  for (auto& w : workers) w.join();
  ::close(listener_);
}

void HttpPeer::route(std::string path, Handler handler) {
  std::lock_guard lock(mutex_);
  routes_[std::move(path)] = std::move(handler);
}

std::string HttpPeer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void HttpPeer::acceptLoop() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    std::lock_guard lock(mutex_);
    open_.push_back(fd);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void HttpPeer::serve(int fd) {
  Connection connection(fd, stopping_);
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHead && !stopping_) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<unsigned char>(head[0]) == 0x16) break;  // a TLS ClientHello
  }
  if (!head.empty() && static_cast<unsigned char>(head[0]) == 0x16) {
    connection.sendHead(400, {"Content-Length: 0"});
  } else if (const auto end = head.find("\r\n"); end != std::string::npos) {
    // "GET /path HTTP/1.1"
    const std::string line = head.substr(0, end);
    const auto first = line.find(' ');
    const auto last = line.rfind(' ');
    const std::string path = first < last ? line.substr(first + 1, last - first - 1) : "";
    Handler handler;
    {
      std::lock_guard lock(mutex_);
      if (auto it = routes_.find(path); it != routes_.end()) handler = it->second;
    }
    if (handler) {
      handler(connection);
    } else {
      connection.sendHead(404, {"Content-Length: 9"}) && connection.send("not found");
    }
  }
  {
    std::lock_guard lock(mutex_);
    std::erase(open_, fd);
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
  }
}

std::uint64_t processMemoryKiB(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(std::string(field) + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
  }
  return 0;
}

bool resetPeakMemory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

void ByteStream::fill(std::string& out) {
  for (std::size_t i = 0; i + 8 <= out.size(); i += 8) {
    // xorshift64*: fast, and nothing a compressing transport could shrink.
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    const std::uint64_t word = state_ * 0x2545F4914F6CDD1DULL;
    std::memcpy(out.data() + i, &word, 8);
  }
}

std::uint64_t hashWords(std::string_view bytes, std::uint64_t hash) {
  for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    hash = (hash ^ word) * 0x100000001B3ULL;
  }
  return hash;
}

std::optional<std::uint64_t> sendStream(HttpPeer::Connection& connection, std::uint64_t size) {
  if (!connection.sendHead(200, {"Content-Length: " + std::to_string(size)})) return std::nullopt;
  ByteStream stream;
  std::string chunk(1 << 20, '\0');
  std::uint64_t hash = hashWords({});
  for (std::uint64_t sent = 0; sent < size; sent += chunk.size()) {
    stream.fill(chunk);
    hash = hashWords(chunk, hash);
    if (!connection.send(chunk)) return std::nullopt;
  }
  return hash;
}

std::uint64_t hashFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string chunk(1 << 20, '\0');
  std::uint64_t hash = hashWords({});
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0)
    hash = hashWords(std::string_view(chunk.data(), static_cast<std::size_t>(in.gcount())), hash);
  return hash;
}

}  // namespace kestrom::test

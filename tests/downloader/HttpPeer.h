#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for the downloader tests: one thread per connection, one
// request per connection, each path answered by a handler that writes the raw answer itself.
// A request that opens with a TLS handshake gets a plain-text answer, so https fails at once.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrom::test {

class HttpPeer {
 public:
  /// One accepted connection, as its handler sees it.
  class Connection {
   public:
    Connection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
    /// Sends every byte; false once the client went away or the peer is stopping.
    bool send(std::string_view bytes);
    /// Sends a status line and the headers, then the blank line.
    bool sendHead(int status, const std::vector<std::string>& headers);
    /// Waits up to `ms`; false when the client closed the connection or the peer is stopping.
    bool idle(int ms);
    bool stopping() const { return stopping_.load(); }

   private:
    int fd_;
    const std::atomic<bool>& stopping_;
  };
  using Handler = std::function<void(Connection&)>;

  HttpPeer();
  ~HttpPeer();
  HttpPeer(const HttpPeer&) = delete;
  HttpPeer& operator=(const HttpPeer&) = delete;

  /// Answers requests for exactly `path` (query included) with `handler`; others get 404.
  void route(std::string path, Handler handler);
  int port() const { return port_; }
  std::string url(std::string_view path) const;
  /// How many connections were accepted so far.
  int connections() const { return connections_.load(); }

 private:
  void acceptLoop();
  void serve(int fd);

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;  // guards routes_, open_ and workers_
  std::map<std::string, Handler, std::less<>> routes_;
  std::vector<int> open_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

/// Reads "VmHWM" or "VmRSS" (KiB) from /proc/self/status; 0 when absent.
std::uint64_t processMemoryKiB(std::string_view field);
/// Resets the process's peak resident size to its current size; false when the kernel refused.
bool resetPeakMemory();

/// The body the large-file route sends: a fixed pseudo-random stream, and a hash of its bytes.
class ByteStream {
 public:
  /// Fills `out` (a multiple of 8 bytes) with the next bytes of the stream.
  void fill(std::string& out);

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};
/// FNV-1a over 64-bit little-endian words, continued from `hash`; `bytes` a multiple of 8.
std::uint64_t hashWords(std::string_view bytes, std::uint64_t hash = 0xCBF29CE484222325ULL);
/// Answers 200 with `size` bytes (a multiple of 1 MiB) of the stream, a MiB at a time; the hash
/// of what was sent, none when the client went away first.
std::optional<std::uint64_t> sendStream(HttpPeer::Connection& connection, std::uint64_t size);
/// `hashWords` over the whole file at `path`, read a MiB at a time.
std::uint64_t hashFile(const std::string& path);

}  // namespace kestrom::test

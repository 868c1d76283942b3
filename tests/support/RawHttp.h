#pragma once
// Exact bytes in, status line, headers and body out, over a real loopback socket: for tests of the
// local HTTP server that must control every byte (malformed heads, missing headers, early closes).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrom::test {

struct RawHttpResponse {
  std::string raw;         // every byte received
  std::string statusLine;  // "HTTP/1.1 200 OK"; empty when nothing came
  int status = 0;          // 200; 0 when the status line is missing or unreadable
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  std::string body;
  bool timedOut = false;  // the server had not closed when the wait ended

  /// The first header called `name` (ASCII case ignored).
  std::optional<std::string> header(std::string_view name) const;
};

/// Splits a received answer into status line, headers and body (everything after CR LF CR LF).
RawHttpResponse parseRawHttpResponse(std::string raw);

/// Whether `text` is an IMF-fixdate, as "Sun, 06 Nov 1994 08:49:37 GMT".
bool isHttpDate(std::string_view text);
/// `raw` less its "Date" line: the rest of an answer to compare byte for byte.
std::string withoutDate(std::string_view raw);

/// "METHOD target HTTP/1.1", then the headers, a "Content-Length" when `body` is not empty and none
/// was given, a blank line and the body.
std::string makeHttpRequest(std::string_view method, std::string_view target,
                            const std::vector<std::pair<std::string, std::string>>& headers = {},
                            std::string_view body = {});

/// One loopback connection to 127.0.0.1:port. Never raises SIGPIPE.
class RawHttpConnection {
 public:
  explicit RawHttpConnection(std::uint16_t port);
  ~RawHttpConnection();
  RawHttpConnection(const RawHttpConnection&) = delete;
  RawHttpConnection& operator=(const RawHttpConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  /// Writes all of `bytes`; false when the server has gone.
  bool send(std::string_view bytes);
  void shutdownWrite();
  /// Reads until the server closes or `timeout` passes, then parses what came.
  RawHttpResponse readResponse(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  /// Reads at most `count` bytes (waiting up to `timeout`); "" when the server closed or nothing came.
  std::string readSome(std::size_t count, std::chrono::milliseconds timeout);
  /// True when the server closed the connection within `timeout` (unread data is discarded).
  bool waitForClose(std::chrono::milliseconds timeout);
  /// Closes at once, with a reset if data is still unread.
  void abort();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

/// Sends `bytes` on a fresh connection and reads the whole answer.
RawHttpResponse rawHttp(std::uint16_t port, std::string_view bytes,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace kestrom::test

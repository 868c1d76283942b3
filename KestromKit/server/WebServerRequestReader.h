#pragma once
// Reads the bytes of one request from a connection within the server's limits: the head up to its
// blank line (bounded in size and time), then the body its "Content-Length" declares (bounded,
// each read timed, spooled to a temporary file when large). Lives on the connection's worker
// thread for one request; the head goes into a buffer the worker keeps from one connection to
// the next.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "KestromKit/base/Expected.h"
#include "KestromKit/server/WebServer.h"

namespace kestrom {

class WebServerRequestReader {
 public:
  enum class Failure {
    timedOut,      // no byte before the deadline (or the peer closed without sending one)
    headTooLarge,  // no blank line within the head limit
    bodyTooLarge,  // the declared body exceeds the body limit
    incomplete,    // the peer closed or went quiet before the declared body was complete
    tooSlow,       // the body did not arrive within its deadline (see WebServerLimits)
    spoolFailed,   // the temporary file for a large body could not be written
  };

  /// `spoolFolder` (empty: the system's temporary folder) must outlive the reader.
  WebServerRequestReader(tcp::TCPClient& client, const WebServerLimits& limits, const std::filesystem::path& spoolFolder);

  /// The room `readHead` needs: the head limit and its blank line.
  static std::size_t headBufferSize(const WebServerLimits& limits) { return limits.maxHeadBytes + 4; }
  /// The head and whatever followed it in the same reads, in `buffer` (of `headBufferSize`
  /// bytes). Ends at the blank line, at the peer's close, or at the deadline when some bytes
  /// came; a head without a blank line is left to the parser.
  Expected<std::string_view, Failure> readHead(char* buffer);
  /// The body: `initial` (what followed the head) completed to `contentLength` when that is larger.
  Expected<WebServerBody, Failure> readBody(std::string_view initial, std::optional<std::int64_t> contentLength);

  /// When the first bytes arrived.
  std::chrono::steady_clock::time_point firstByteTime() const { return firstByteTime_; }

 private:
  Expected<WebServerBody, Failure> spoolBody(std::string_view initial, std::uint64_t length);
  /// Reads at most `count` more bytes of the body before the body's deadline.
  Expected<std::string, Failure> readBodyBytes(std::size_t count);

  std::chrono::steady_clock::time_point bodyDeadline_{};

  tcp::TCPClient& client_;
  const WebServerLimits& limits_;
  const std::filesystem::path& spoolFolder_;
  std::chrono::steady_clock::time_point firstByteTime_ = std::chrono::steady_clock::now();
};

}  // namespace kestrom

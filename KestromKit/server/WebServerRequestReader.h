#pragma once
// Reads the body of one request from a connection within the server's limits: what its
// "Content-Length" declares (bounded, each read timed, spooled to a temporary file when large).
// The head came before, through the server's run loop. Lives on the connection's worker thread
// for one request.

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
    bodyTooLarge,  // the declared body exceeds the body limit
    incomplete,    // the peer closed or went quiet before the declared body was complete
    tooSlow,       // the body did not arrive within its deadline (see WebServerLimits)
    spoolFailed,   // the temporary file for a large body could not be written
  };

  /// `spoolFolder` (empty: the system's temporary folder) must outlive the reader.
  WebServerRequestReader(tcp::TCPClient& client, const WebServerLimits& limits, const std::filesystem::path& spoolFolder);

  /// The body: `initial` (what followed the head) completed to `contentLength` when that is larger.
  Expected<WebServerBody, Failure> readBody(std::string_view initial, std::optional<std::int64_t> contentLength);

 private:
  Expected<WebServerBody, Failure> spoolBody(std::string_view initial, std::uint64_t length);
  /// Reads at most `count` more bytes of the body before the body's deadline.
  Expected<std::string, Failure> readBodyBytes(std::size_t count);

  std::chrono::steady_clock::time_point bodyDeadline_{};

  tcp::TCPClient& client_;
  const WebServerLimits& limits_;
  const std::filesystem::path& spoolFolder_;
};

}  // namespace kestrom

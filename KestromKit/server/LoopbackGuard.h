#pragma once
// Who may talk to the host's loopback servers. A web page on any other site can make the browser
// open a WebSocket or send a request to 127.0.0.1; a DNS-rebinding page can even make it look
// same-site. Requiring the Host header to name the loopback with our own port, and the Origin,
// when sent, to be one of the host's own page origins, shuts both out. Tools that send neither
// header are let through: browsers always send both on the requests this must stop.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrom {

class LoopbackGuard {
 public:
  /// True for "localhost:P", "127.0.0.1:P" and "[::1]:P" (host part case-insensitive), P = `port`.
  static bool isLoopbackHost(std::string_view host, unsigned port);

  /// The origins of the host's own pages when the HTTP server listens on `httpPort`:
  /// "http://localhost:P" and "http://127.0.0.1:P".
  static std::vector<std::string> pageOrigins(unsigned httpPort);

  /// The whole rule: an absent Host or Origin passes; a present Host must be the loopback with
  /// `port`; a present Origin must be one of `allowedOrigins` (so with none known, no Origin may
  /// be sent at all).
  static bool allows(std::optional<std::string_view> host, std::optional<std::string_view> origin,
                     unsigned port, const std::vector<std::string>& allowedOrigins);
};

}  // namespace kestrom

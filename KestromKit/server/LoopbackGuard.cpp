#include "KestromKit/server/LoopbackGuard.h"

#include <algorithm>

#include "platform/AsciiCase.h"

namespace kestrom {

namespace {

// A decimal port of one to five digits, nothing else.
std::optional<unsigned> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

}  // namespace

bool LoopbackGuard::isLoopbackHost(std::string_view host, unsigned port) {
  // The port is required: without one the browser meant port 80, which is never ours.
  auto colon = host.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view name = host.substr(0, colon);
  auto given = parsePort(host.substr(colon + 1));
  if (!given || *given != port) return false;
  return equalsIgnoringCase(name, "localhost") || name == "127.0.0.1" || name == "[::1]";
}

std::vector<std::string> LoopbackGuard::pageOrigins(unsigned httpPort) {
  std::string p = std::to_string(httpPort);
  return {"http://localhost:" + p, "http://127.0.0.1:" + p};
}

bool LoopbackGuard::allows(std::optional<std::string_view> host, std::optional<std::string_view> origin,
                           unsigned port, const std::vector<std::string>& allowedOrigins) {
  if (host && !isLoopbackHost(*host, port)) return false;
  if (!origin) return true;
  return std::any_of(allowedOrigins.begin(), allowedOrigins.end(),
                     [&](const std::string& allowed) { return equalsIgnoringCase(allowed, *origin); });
}

}  // namespace kestrom

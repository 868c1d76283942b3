#include "KestromKit/server/SessionSecret.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kestrom {

namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string SessionSecret::randomHex(std::size_t bytes) {
  std::vector<unsigned char> random(bytes);
  std::size_t have = 0;
  while (have < bytes) {
    ssize_t n = ::getrandom(random.data() + have, bytes - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Without randomness there is no secret worth the name: better no host than an open one.
      std::fprintf(stderr, "KestromKit/SessionSecret: no random bytes to be had\n");
      std::abort();
    }
    have += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes * 2);
  for (unsigned char b : random) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

SessionSecret::SessionSecret() : SessionSecret(randomHex(32)) {}

SessionSecret::SessionSecret(std::string value, std::chrono::steady_clock::duration debugCodeLifetime)
    : value_(std::move(value)),
      debugCodeExpiry_(std::chrono::steady_clock::now() + debugCodeLifetime),
      debugCode_(randomHex(16)) {}

std::string SessionSecret::cookie() const { return std::string(kCookieName) + "=" + value_; }

bool SessionSecret::equalInConstantTime(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    difference |= static_cast<unsigned char>(static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
  return difference == 0;
}

bool SessionSecret::admits(std::optional<std::string_view> cookieHeader) const {
  if (!cookieHeader) return false;
  bool found = false;
  std::string_view rest = *cookieHeader;
  // Every cookie of that name is tried: another host on another port of "localhost" may have
  // left one of its own in the browser.
  while (!rest.empty()) {
    std::size_t end = rest.find(';');
    std::string_view pair = trimmed(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos || trimmed(pair.substr(0, equals)) != kCookieName) continue;
    found = equalInConstantTime(trimmed(pair.substr(equals + 1)), value_) || found;
  }
  return found;
}

std::string SessionSecret::debugCode() const {
  std::lock_guard lock(mutex_);
  return debugCode_;
}

bool SessionSecret::redeemDebugCode(std::string_view code) {
  std::lock_guard lock(mutex_);
  if (debugCode_.empty() || std::chrono::steady_clock::now() >= debugCodeExpiry_) {
    debugCode_.clear();
    return false;
  }
  if (!equalInConstantTime(code, debugCode_)) return false;
  debugCode_.clear();
  return true;
}

}  // namespace kestrom

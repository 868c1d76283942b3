#include "KestromKit/server/SessionSecret.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "platform/AsciiCase.h"

namespace kestrom {

namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Every eight hex digits in a row of `texts`, as the number they spell, sorted.
std::vector<std::uint32_t> windowsOf(std::initializer_list<std::string_view> texts) {
  std::vector<std::uint32_t> windows;
  for (std::string_view text : texts) {
    std::uint32_t value = 0;
    std::size_t run = 0;
    for (char c : text) {
      const int digit = asciiHexValue(c);
      run = digit < 0 ? 0 : run + 1;
      value = (value << 4) | static_cast<std::uint32_t>(digit < 0 ? 0 : digit);
      if (run >= 8) windows.push_back(value);
    }
  }
  std::sort(windows.begin(), windows.end());
  return windows;
}

// `text` with every run of eight or more hex digits (in either letter case) that holds one of
// `windows` replaced by "(left out)": the whole secret, a piece of it, or it in upper case.
std::string withoutWindows(std::string text, const std::vector<std::uint32_t>& windows) {
  constexpr std::string_view kLeftOut = "(left out)";
  std::string out;
  std::size_t copied = 0;  // of `text`, into `out`
  std::size_t runStart = 0;
  std::size_t run = 0;
  bool found = false;  // the current run holds a window
  std::uint32_t value = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const int digit = i < text.size() ? asciiHexValue(text[i]) : -1;
    if (digit >= 0) {
      if (run++ == 0) runStart = i;
      value = (value << 4) | static_cast<std::uint32_t>(digit);
      found = found || (run >= 8 && std::binary_search(windows.begin(), windows.end(), value));
      continue;
    }
    if (found) {
      out.append(text, copied, runStart - copied);
      out += kLeftOut;
      copied = i;
    }
    run = 0;
    found = false;
  }
  if (out.empty()) return text;  // nothing left out
  out.append(text, copied);
  return out;
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
      debugCode_(randomHex(16)),
      redaction_([windows = windowsOf({value_, debugCode_})](std::string line) {
        return withoutWindows(std::move(line), windows);
      }) {}

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

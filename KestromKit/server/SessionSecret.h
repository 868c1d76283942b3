#pragma once
// Only the host's own page gets in. At start the host draws a per-launch secret (256 random bits);
// the web view sends it as the cookie "kestrom-session" on every HTTP request and WebSocket
// upgrade, and both servers refuse (403) anything that does not carry it. Any local program could
// otherwise read and change the user's settings, content and projects.
//
// For opening the page in an external browser, "/debug" takes a one-time code instead: the code
// sets the cookie once and is then gone, and it lapses unused a few minutes after start.
//
// Neither ever reaches the log: while the object lives, every log line of the process has each
// run of hex digits that holds eight digits of the secret or of the code in a row left out,
// whichever channel writes it and wherever its text came from (a request's path or headers, a
// page's message).
//
// Any thread. Owned by the kit, shared with both servers.

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/log/Log.h"

namespace kestrom {

class SessionSecret {
 public:
  static constexpr std::string_view kCookieName = "kestrom-session";
  /// How long after start the "/debug" code may be redeemed.
  static constexpr std::chrono::minutes kDebugCodeLifetime{5};

  /// Draws a new secret (getrandom; the process stops if the system has no randomness to give).
  SessionSecret();
  /// A given secret (and a given life for the "/debug" code), for tests.
  explicit SessionSecret(std::string value, std::chrono::steady_clock::duration debugCodeLifetime = kDebugCodeLifetime);
  SessionSecret(const SessionSecret&) = delete;
  SessionSecret& operator=(const SessionSecret&) = delete;

  /// 64 lowercase hex digits. Never in a URL.
  const std::string& value() const { return value_; }
  /// "kestrom-session=<secret>", as a client's Cookie header carries it.
  std::string cookie() const;
  /// True when a "kestrom-session" cookie in `cookieHeader` (a Cookie header's value; several
  /// joined by "; ") holds the secret. Compared in constant time.
  bool admits(std::optional<std::string_view> cookieHeader) const;

  /// The one-time code of "/debug" (32 hex digits); empty once it was redeemed.
  std::string debugCode() const;
  /// True once for the code (constant time), and only within its lifetime; it is then gone.
  bool redeemDebugCode(std::string_view code);

  /// True when `a` and `b` are equal; the time taken depends only on their lengths.
  static bool equalInConstantTime(std::string_view a, std::string_view b);
  /// `bytes` random bytes as lowercase hex.
  static std::string randomHex(std::size_t bytes);

 private:
  const std::string value_;
  const std::chrono::steady_clock::time_point debugCodeExpiry_;
  mutable std::mutex mutex_;  // guards debugCode_
  std::string debugCode_;     // empty once spent
  const log::Redaction redaction_;  // of the secret and the code as drawn, spent or not
};

}  // namespace kestrom

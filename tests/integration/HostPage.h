#pragma once
// One page connection to a headless host: sends requests, reads frames as parsed JSON. `Page`
// keeps each frame's keys in the order they came; a BasicPage of plain nlohmann::json compares
// frames whatever the order of their keys.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/integration/HostProcess.h"
#include "tests/support/WSTestClient.h"

namespace kestrom::test {

template <class JsonType>
class BasicPage {
 public:
  using Json = JsonType;

  /// Connects to `host`'s WebSocket with its session cookie (and `headers`) once the host shows
  /// its web view, as the page would; every read waits up to `timeout` for its frame.
  explicit BasicPage(const HostProcess& host, std::map<std::string, std::string> headers = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(10))
      : client_(timeout),
        connected_(host.waitUntilPageShown() && client_.connect(host.wsPort(), withCookie(host, std::move(headers)))) {}
  BasicPage(const HostProcess& host, std::chrono::milliseconds timeout) : BasicPage(host, {}, timeout) {}
  bool connected() const { return connected_; }

  void request(const std::string& id, const std::string& method, Json values = Json::object()) {
    Json frame = {{"id", id}, {"method", method}, {"params", {{"values", std::move(values)}}}, {"jsonrpc", "2.0"}};
    ASSERT_TRUE(client_.sendText(frame.dump()));
  }
  void raw(const std::string& text) { ASSERT_TRUE(client_.sendText(text)); }

  std::optional<Json> next() {
    auto text = client_.readText();
    if (!text) return std::nullopt;
    return Json::parse(*text);
  }
  /// The next frame that is the reply to `id`, skipping notifications.
  std::optional<Json> replyTo(const std::string& id) {
    while (auto frame = next())
      if (frame->contains("id") && (*frame)["id"] == id) return frame;
    return std::nullopt;
  }
  /// The next frame that answers a request (any id), skipping notifications.
  std::optional<Json> nextReply() {
    while (auto frame = next())
      if (frame->contains("id")) return frame;
    return std::nullopt;
  }
  /// The next frame that `match` accepts, skipping the others (a thousand at most).
  std::optional<Json> nextWhere(const std::function<bool(const Json&)>& match) {
    for (int frames = 0; frames < 1000; ++frames) {
      auto frame = next();
      if (!frame || match(*frame)) return frame;
    }
    return std::nullopt;
  }
  /// The next notification of `method`.
  std::optional<Json> notification(const std::string& method) {
    return nextWhere([&](const Json& f) { return f.value("method", "") == method; });
  }

 private:
  static std::map<std::string, std::string> withCookie(const HostProcess& host, std::map<std::string, std::string> headers) {
    headers.emplace("Cookie", host.cookie());
    return headers;
  }

  WSTestClient client_;
  bool connected_;
};

using Page = BasicPage<nlohmann::ordered_json>;

}  // namespace kestrom::test

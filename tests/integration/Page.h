#pragma once
// One page connection to a host process: sends requests, reads frames as parsed JSON.

#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/WSTestClient.h"

namespace kestrom::test {

class Page {
 public:
  using Json = nlohmann::ordered_json;

  /// Every read waits up to `timeout` for its frame.
  explicit Page(unsigned port, std::chrono::milliseconds timeout = std::chrono::seconds(5))
      : client_(timeout), connected_(client_.connect(port)) {}
  bool connected() const { return connected_; }

  void request(const std::string& id, const std::string& method, Json values = Json::object()) {
    Json frame = {{"id", id}, {"method", method}, {"params", {{"values", std::move(values)}}}, {"jsonrpc", "2.0"}};
    EXPECT_TRUE(client_.sendText(frame.dump()));
  }
  void raw(const std::string& text) { EXPECT_TRUE(client_.sendText(text)); }

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

 private:
  WSTestClient client_;
  bool connected_;
};

}  // namespace kestrom::test

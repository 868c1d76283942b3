#pragma once
// An outlet to the page that keeps every frame the host would send, parsed back into JSON, for
// tests of services that answer through an RPCInterface. Any thread may send; the test reads.

#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestromKit/rpc/RPCInterface.h"

namespace kestrom::test {

class FrameRecorder final : public RPCInterface {
 public:
  using Json = nlohmann::ordered_json;

  void send(RPC::Response response) override { keep(RPC::responseFrame(response)); }
  void send(RPCMessage message) override {
    if (auto text = RPC::messageFrame(message)) keep(*text);
  }

  std::vector<Json> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  /// The frames whose "method" is `method`, in order.
  std::vector<Json> notifications(const std::string& method) const {
    std::vector<Json> found;
    for (const auto& frame : frames())
      if (frame.contains("method") && frame.at("method") == method) found.push_back(frame);
    return found;
  }
  /// The reply to request `id`; null when there is none.
  Json reply(const std::string& id) const {
    for (const auto& frame : frames())
      if (frame.contains("id") && frame.at("id") == id) return frame;
    return nullptr;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    frames_.clear();
  }

 private:
  void keep(const std::string& text) {
    std::lock_guard lock(mutex_);
    frames_.push_back(Json::parse(text));
  }

  mutable std::mutex mutex_;  // guards frames_
  std::vector<Json> frames_;
};

}  // namespace kestrom::test

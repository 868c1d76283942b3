#pragma once
// The page's side of the kit's outlet for tests: every frame the page would receive, parsed.
// Any thread.

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestromKit/rpc/RPCInterface.h"

namespace kestrom::test {

class RecordingInterface final : public RPCInterface {
 public:
  void send(RPC::Response response) override { add(RPC::responseFrame(response)); }
  void send(RPCMessage message) override {
    if (auto text = RPC::messageFrame(message)) add(*text);
  }
  /// The frames received since the last take.
  std::vector<nlohmann::json> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(frames_, {});
  }
  /// Every frame received so far, leaving them.
  std::vector<nlohmann::json> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }

 private:
  void add(const std::string& text) {
    std::lock_guard lock(mutex_);
    frames_.push_back(nlohmann::json::parse(text));
  }
  mutable std::mutex mutex_;  // guards frames_
  std::vector<nlohmann::json> frames_;
};

}  // namespace kestrom::test

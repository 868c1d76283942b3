#pragma once
// The page of a whole-host benchmark: one WebSocket connection to a headless host with its
// session cookie, requests framed as the page frames them, frames read back as JSON. A benchmark
// has no test to fail: whatever goes wrong goes to the benchmark's own `fail`, which ends it.

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/integration/HostProcess.h"
#include "tests/support/WSTestClient.h"

namespace kestrom::bench {

class BenchPage {
 public:
  using Json = nlohmann::json;
  /// Reports `what` and ends the program.
  using Failure = void (*)(const char* what);

  BenchPage(const test::HostProcess& host, Failure fail) : client_(std::chrono::seconds(20)), fail_(fail) {
    if (!client_.connect(host.wsPort(), {{"Cookie", host.cookie()}})) failWith("cannot connect the page");
  }
  void request(const std::string& id, const std::string& method, Json values) {
    Json frame = {{"id", id}, {"method", method}, {"params", {{"values", std::move(values)}}}, {"jsonrpc", "2.0"}};
    if (!client_.sendText(frame.dump())) failWith("cannot send");
  }
  Json next() {
    auto text = client_.readText();
    if (!text) failWith("no frame from the host");
    return Json::parse(*text);
  }
  /// The next frame `match` accepts, skipping the others.
  Json nextWhere(const std::function<bool(const Json&)>& match) {
    for (;;) {
      Json frame = next();
      if (match(frame)) return frame;
    }
  }
  Json replyTo(const std::string& id) {
    return nextWhere([&](const Json& f) { return f.contains("id") && f["id"] == id; });
  }
  Json notification(const std::string& method) {
    return nextWhere([&](const Json& f) { return f.value("method", "") == method; });
  }
  [[noreturn]] void failWith(const char* what) const {
    fail_(what);
    std::abort();  // `fail` ends the program; should it return, this does
  }

 private:
  test::WSTestClient client_;
  Failure fail_;
};

}  // namespace kestrom::bench

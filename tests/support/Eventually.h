#pragma once
// Polls `condition` every 10 ms until it holds; false when `timeout` (scaled for slow builds) passes
// first. For tests whose outcome arrives from other threads or processes.

#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/TimeFactor.h"

namespace kestrom::test {

inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::seconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + scaledWait(timeout);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace kestrom::test

#pragma once
// Ends the test process when one test runs past its time, after stopping the private bus, so a
// hang shows as a named failure instead of a stuck run.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/bluez/PrivateBus.h"

namespace kestrom::testing {

class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::seconds limit) : what_(std::move(what)) {
    thread_ = std::thread([this, limit] {
      std::unique_lock lock(mutex_);
      if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
        std::fprintf(stderr, "watchdog: %s ran past its time; stopping\n", what_.c_str());
        PrivateBus::killAll();
        std::_Exit(3);
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::string what_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace kestrom::testing

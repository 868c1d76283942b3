#pragma once
// One D-Bus connection and the thread that serves it. Everything that touches the connection
// (proxies, exported objects, calls, replies, signal handlers) runs on that thread; other threads
// hand it work with post() or sync(). sd-bus is not thread-safe and sdbus-c++'s own loop thread
// takes no posted work, so this loop polls the bus and an eventfd itself.
//
// Shutdown order for an owner: stop() first (joins the thread, drops unrun work), then destroy
// the proxies and objects made on the connection, then this loop (which owns the connection).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/Log.h"

namespace sdbus {
class IConnection;
}

namespace kestrom::bluetooth {

class BusLoop {
 public:
  using Task = std::function<void()>;
  using TimerId = std::uint64_t;
  using Clock = std::chrono::steady_clock;

  /// Takes the connection; null means there is no bus: posted work still runs, so owners can
  /// report their failures the usual way.
  BusLoop(std::string name, std::unique_ptr<sdbus::IConnection> connection, log::Logger log);
  ~BusLoop();
  BusLoop(const BusLoop&) = delete;
  BusLoop& operator=(const BusLoop&) = delete;

  void start();
  /// Stops and joins the thread; work not yet run is dropped. Never from the loop thread.
  void stop();

  /// Runs `task` on the loop thread, after the work posted before it. Any thread.
  void post(Task task);
  /// Runs `task` on the loop thread and waits for it; false when the loop stopped first.
  /// Never from the loop thread.
  bool sync(const Task& task);
  /// Runs `task` on the loop thread after `delay` unless cancelled. Loop thread only.
  TimerId after(Clock::duration delay, Task task);
  /// Cancels a timer; unknown or fired ids are ignored. Loop thread only.
  void cancel(TimerId id);

  bool isCurrent() const { return std::this_thread::get_id() == threadId_; }
  /// The connection, or null when there is no bus or it broke. Loop thread only (and before
  /// start() / after stop()).
  sdbus::IConnection* connection() const { return busBroken_ ? nullptr : connection_.get(); }
  const log::Logger& log() const { return log_; }

 private:
  void run();
  void wake();
  void runTasks();
  void runTimers();
  void processBus();
  int pollTimeoutMs();

  std::string name_;
  std::unique_ptr<sdbus::IConnection> connection_;
  log::Logger log_;
  int wakeFd_ = -1;
  std::thread thread_;
  std::atomic<std::thread::id> threadId_{};

  std::mutex mutex_;  // guards tasks_ and stopping_
  std::vector<Task> tasks_;
  bool stopping_ = false;

  // Loop thread only.
  bool busBroken_ = false;
  TimerId nextTimer_ = 1;
  struct Timer {
    Clock::time_point deadline;
    Task task;
  };
  std::map<TimerId, Timer> timers_;
};

}  // namespace kestrom::bluetooth

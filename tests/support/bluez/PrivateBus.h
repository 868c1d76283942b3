#pragma once
// A dbus-daemon of the test's own, standing in for the system bus: allow-all policy, its socket
// in a folder of its own under $TMPDIR, removed with it. While it runs, DBUS_SYSTEM_BUS_ADDRESS points at it. Start it from the test's
// main thread, before any thread that reads the environment.

#include <sys/types.h>

#include <string>

namespace kestrom::testing {

class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  /// Stops the daemon of every PrivateBus alive; for a watchdog about to end the process.
  static void killAll();

 private:
  std::string folder_;
  std::string address_;
  pid_t pid_ = -1;
};

}  // namespace kestrom::testing

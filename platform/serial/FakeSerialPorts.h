#pragma once
// SerialPorts with a list the test (or a headless run) sets; it can also fail the next query the
// way an unreadable registry would. Thread-safe: the monitor polls from its own thread.

#include <mutex>

#include "platform/serial/SerialPorts.h"

namespace kestrom::serial {

class FakeSerialPorts final : public SerialPorts {
 public:
  explicit FakeSerialPorts(std::vector<SerialPort> ports = {});

  void setPorts(std::vector<SerialPort> ports);
  /// The next query answers this error instead of the list.
  void failNextQuery(std::string error);
  /// How many queries were made so far.
  int queryCount() const;

  // SerialPorts
  Expected<std::vector<SerialPort>, std::string> ports() override;

 private:
  mutable std::mutex mutex_;  // guards the members below
  std::vector<SerialPort> ports_;
  std::optional<std::string> nextError_;
  int queryCount_ = 0;
};

}  // namespace kestrom::serial

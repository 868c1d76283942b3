#include "platform/serial/FakeSerialPorts.h"

#include <utility>

namespace kestrom::serial {

FakeSerialPorts::FakeSerialPorts(std::vector<SerialPort> ports) : ports_(std::move(ports)) {}

void FakeSerialPorts::setPorts(std::vector<SerialPort> ports) {
  std::lock_guard lock(mutex_);
  ports_ = std::move(ports);
}

void FakeSerialPorts::failNextQuery(std::string error) {
  std::lock_guard lock(mutex_);
  nextError_ = std::move(error);
}

int FakeSerialPorts::queryCount() const {
  std::lock_guard lock(mutex_);
  return queryCount_;
}

Expected<std::vector<SerialPort>, std::string> FakeSerialPorts::ports() {
  std::lock_guard lock(mutex_);
  ++queryCount_;
  if (nextError_) return makeUnexpected(*std::exchange(nextError_, std::nullopt));
  return ports_;
}

}  // namespace kestrom::serial

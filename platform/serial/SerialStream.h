#pragma once
// A serial device file (a USB CDC-ACM port, a pseudo-terminal) open for reading and writing in
// raw mode: 8 data bits, no parity, one stop bit, no echo, no character mapping, no flow control.
// Reads, writes and their threads are those of every DescriptorStream. Owned through a shared_ptr
// by whoever opened it.

#include <memory>
#include <string>

#include "platform/Expected.h"
#include "platform/fdwatch/DescriptorStream.h"

namespace kestrom::serial {

class SerialStream final : public fdwatch::DescriptorStream {
 public:
  static constexpr unsigned kDefaultBaudRate = 115200;

  /// Opens `path` without becoming its controlling terminal, sets raw mode at `baudRate` and
  /// raises DTR and RTS. Devices that know no terminal settings or modem lines (pseudo-terminals,
  /// emulated ports) are accepted as they are. The error names the path and the failing step.
  static Expected<std::shared_ptr<SerialStream>, std::string> open(
      const std::string& path, unsigned baudRate, Handlers handlers);

 private:
  SerialStream(int fd, Handlers handlers);
};

}  // namespace kestrom::serial

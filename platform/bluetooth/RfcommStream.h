#pragma once
// The byte stream of one classic Bluetooth serial link: the RFCOMM socket the Bluetooth service
// handed over. Reads, writes and their threads are those of every DescriptorStream (the serial
// ports' streams work the same way). Owned through a shared_ptr by whoever opened it.

#include <memory>
#include <string>

#include "platform/Expected.h"
#include "platform/bluetooth/OwnedFd.h"
#include "platform/fdwatch/DescriptorStream.h"

namespace kestrom::bluetooth {

class RfcommStream final : public fdwatch::DescriptorStream {
 public:
  /// Takes the socket over (non-blocking from now on) and starts watching it on a thread named
  /// `label`; the error says why it could not.
  static Expected<std::shared_ptr<RfcommStream>, std::string> open(OwnedFd socket, const std::string& label,
                                                                       Handlers handlers);

 private:
  RfcommStream(int fd, Handlers handlers);
};

}  // namespace kestrom::bluetooth

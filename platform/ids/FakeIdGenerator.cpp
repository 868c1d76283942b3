#include "platform/ids/FakeIdGenerator.h"

namespace kestrom::ids {

void FakeIdGenerator::randomBytesImpl(std::span<unsigned char> bytes) {
  std::lock_guard lock(mutex_);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(engine_() >> 56);
}

}  // namespace kestrom::ids

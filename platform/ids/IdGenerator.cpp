#include "platform/ids/IdGenerator.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

#include "platform/log/Fatal.h"

namespace kestrom::ids {

static_assert(kIdAlphabet.size() == 64, "six random bits pick one symbol");

std::string IdGenerator::makeId(std::size_t length) {
  std::string id(length, '\0');
  randomBytesImpl(std::span(reinterpret_cast<unsigned char*>(id.data()), id.size()));
  for (auto& symbol : id) symbol = kIdAlphabet[static_cast<unsigned char>(symbol) & 63];
  return id;
}

void RandomIdGenerator::randomBytesImpl(std::span<unsigned char> bytes) {
  std::size_t filled = 0;
  // getrandom hands out at most 32 MiB per call and may be interrupted by a signal before the
  // pool is ready; anything else is a kernel without randomness.
  while (filled < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      log::fatalError("RandomIdGenerator", "getrandom failed: " + std::generic_category().message(errno));
    }
  }
}

}  // namespace kestrom::ids

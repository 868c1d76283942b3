#include "platform/log/Fatal.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/log/Log.h"

namespace kestrom::log {

void fatalError(std::string_view source, std::string_view message) {
  Logger(std::string(source), "General").fault("%s", std::string(message));
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(source.size()), source.data(),
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

}  // namespace kestrom::log

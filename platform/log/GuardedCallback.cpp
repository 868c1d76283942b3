#include "platform/log/GuardedCallback.h"

#include <cstdio>

#include "platform/log/Log.h"

namespace kestrom::log {

void reportEscapedException(const char* where, const char* what) noexcept {
  try {
    static const Logger logger("platform", "callbacks");
    logger.error("The callback %s threw: %s", where, what);
  } catch (...) {  // the log itself failed (out of memory): stderr is all that is left
    std::fprintf(stderr, "The callback %s threw: %s\n", where, what);
  }
}

}  // namespace kestrom::log

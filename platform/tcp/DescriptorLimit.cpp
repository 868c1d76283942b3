#include "platform/tcp/DescriptorLimit.h"

#include <sys/resource.h>

namespace kestrom::tcp {

std::uint64_t raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised{limit.rlim_max, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace kestrom::tcp

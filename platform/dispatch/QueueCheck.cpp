#include "platform/dispatch/QueueCheck.h"

#include <string>

#include "platform/log/Fatal.h"

namespace kestrom::dispatch {

void assertOnQueue(const Queue* queue, const char* where) {
  if (queue && queue->isCurrent()) return;
  log::fatalError("dispatch", std::string(where) + " must run on the queue \"" +
                                  (queue ? queue->label() : std::string("(none)")) +
                                  "\" but runs elsewhere");
}

void assertOnHome(bool isHome, const char* home, const char* where) {
  if (isHome) return;
  log::fatalError("dispatch", std::string(where) + " must run on " + home + " but runs elsewhere");
}

}  // namespace kestrom::dispatch

#pragma once
// Debug-build checks that code runs on its home queue. A class whose header comment names a home
// queue states it again, in code, at the top of the methods that touch its state (docs/
// architecture.md lists the classes that do):
//
//   void ProjectInfoStore::ensureLoaded() const {
//     KESTROM_ASSERT_ON_QUEUE(queue_);
//     ...
//
// A failed check stops the process with the queue's label and the method's name, so a wrong hop
// shows up at the call that made it instead of as a race much later. With NDEBUG the checks
// compile to nothing and their argument is not evaluated.
//
// "On a queue" is Queue::isCurrent(): running one of its tasks, or waiting in a sync for the task
// that runs now (main -> store -> main runs inline and passes the check for both).

#include <memory>

#include "platform/dispatch/Queue.h"

namespace kestrom::dispatch {

/// Stops the process with a message naming `queue` and `where` unless the caller runs on `queue`
/// (a null queue never passes). Checks in every build; the macros below call it in debug builds.
void assertOnQueue(const Queue* queue, const char* where);
inline void assertOnQueue(const Queue& queue, const char* where) { assertOnQueue(&queue, where); }
inline void assertOnQueue(const std::shared_ptr<Queue>& queue, const char* where) {
  assertOnQueue(queue.get(), where);
}
/// The same for a home that is not a dispatch queue (an Asio I/O thread): `isHome` says whether
/// the caller is there, `home` names it.
void assertOnHome(bool isHome, const char* home, const char* where);

}  // namespace kestrom::dispatch

#ifdef NDEBUG
#define KESTROM_ASSERT_ON_QUEUE(queue) ((void)0)
#define KESTROM_ASSERT_ON_MAIN_QUEUE() ((void)0)
#define KESTROM_ASSERT_ON_HOME(isHome, home) ((void)0)
#else
#define KESTROM_ASSERT_ON_QUEUE(queue) ::kestrom::dispatch::assertOnQueue((queue), __PRETTY_FUNCTION__)
#define KESTROM_ASSERT_ON_MAIN_QUEUE() \
  ::kestrom::dispatch::assertOnQueue(::kestrom::dispatch::mainQueue(), __PRETTY_FUNCTION__)
#define KESTROM_ASSERT_ON_HOME(isHome, home) ::kestrom::dispatch::assertOnHome((isHome), (home), __PRETTY_FUNCTION__)
#endif

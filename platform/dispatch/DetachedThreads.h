#pragma once
// Threads that outlive their owner. An owner that lets go of its thread from inside that thread
// (a handler dropped the last reference) cannot join it; the thread finishes its handler and ends
// on its own. Such a thread is counted from the detach until it is done, so that the end of
// main() can wait for it before the process's static objects go (the log among them).
//
//   ThreadExit exit;
//   std::thread thread([exit] { ...; });   // the body holds a copy to its end
//   ...
//   exit.detach(thread);                   // instead of join(), from any thread

#include <memory>
#include <thread>

#include "platform/dispatch/Queue.h"

namespace kestrom::dispatch {

class ThreadExit {
 public:
  ThreadExit();
  /// Detaches `thread`; it counts as running until the last copy of this mark is gone.
  void detach(std::thread& thread) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

/// Detached threads not yet done.
int detachedThreadsRunning();
/// Waits until every detached thread is done; false when `timeout` passed first.
bool waitForDetachedThreads(Duration timeout);

}  // namespace kestrom::dispatch

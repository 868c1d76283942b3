#include "platform/dispatch/DetachedThreads.h"

#include <condition_variable>
#include <mutex>

namespace kestrom::dispatch {

namespace {

struct Count {
  std::mutex mutex;  // guards running
  std::condition_variable changed;
  int running = 0;

  void add(int delta) {
    std::lock_guard lock(mutex);
    running += delta;
    changed.notify_all();
  }
};

// Never destroyed: a detached thread may end while the process runs its exit handlers.
Count& count() {
  static auto* shared = new Count;
  return *shared;
}

}  // namespace

// Shared by the owner and the thread's body; whichever lets go last ends the count. The release
// of a shared_ptr orders the owner's write of `detached` before the destructor's read.
struct ThreadExit::State {
  bool detached = false;
  ~State() {
    if (detached) count().add(-1);
  }
};

ThreadExit::ThreadExit() : state_(std::make_shared<State>()) {}

void ThreadExit::detach(std::thread& thread) const {
  count().add(1);
  state_->detached = true;
  thread.detach();
}

int detachedThreadsRunning() {
  auto& shared = count();
  std::lock_guard lock(shared.mutex);
  return shared.running;
}

bool waitForDetachedThreads(Duration timeout) {
  auto& shared = count();
  std::unique_lock lock(shared.mutex);
  return shared.changed.wait_for(lock, timeout, [&] { return shared.running == 0; });
}

}  // namespace kestrom::dispatch

// A deliberate data race between a task of the main queue (which runs inside a GLib callback) and
// another thread. Under ThreadSanitizer with the project's suppressions this must be reported: the
// test passes only on the report, so suppressions that hide the main queue cannot creep back.

#include <glib.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/dispatch/Queue.h"

namespace {

int shared = 0;  // written by both sides without a lock, on purpose

}  // namespace

int main() {
  using namespace std::chrono_literals;
  auto queue = kestrom::dispatch::makeGLibQueue("main");
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  // Started before the task is posted and never synchronised with it until the join.
  std::thread other([] {
    shared = 1;
    std::this_thread::sleep_for(50ms);
  });
  queue->async([loop] {
    std::this_thread::sleep_for(20ms);
    shared = 2;
    g_main_loop_quit(loop);
  });
  g_main_loop_run(loop);
  other.join();
  g_main_loop_unref(loop);
  std::printf("no race reported (shared = %d)\n", shared);
  return 0;
}

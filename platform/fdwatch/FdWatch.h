#pragma once
// Watches one file descriptor on a thread of its own and says when it can be read, when it can be
// written (only while the owner asks, e.g. after a short write) and when it hung up or failed.
// Every stream of the host (USB serial ports, RFCOMM sockets) is watched this way.
//
// Handlers run on the watch thread, one at a time; they should only do the I/O and post what
// they got to their owner's queue. Destroying the watch stops it: from any other thread it waits
// for a running handler and the thread to finish, so no handler runs afterwards; from inside a
// handler it lets the thread end by itself once the handler returns. The descriptor is not owned.

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kestrom::fdwatch {

class FdWatch {
 public:
  struct Handlers {
    /// Bytes (or an end of file or error that a read will report) are waiting.
    std::function<void()> readable;
    /// There is room to write; only called while wantWritable is set.
    std::function<void()> writable;
    /// The descriptor hung up or failed (POLLHUP, POLLERR, POLLNVAL, poll failing). Called at
    /// most once, after `readable` had its turn; the watch ends with it.
    std::function<void(std::string reason)> hungUp;
  };

  /// Starts watching `fd` on a new thread named `label` (up to 15 characters are kept). Throws
  /// std::system_error when no thread or wake-up descriptor can be made.
  FdWatch(int fd, std::string label, Handlers handlers);
  ~FdWatch();
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;

  /// No handler starts after this; one running now finishes. Does not wait. Any thread.
  void stop();
  /// Asks for `writable` calls (true) or stops them (false). Any thread, handlers included.
  void setWantWritable(bool want);

 private:
  struct State;
  static void run(std::shared_ptr<State> state);  // the thread's own reference keeps it alive

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace kestrom::fdwatch

#pragma once
// Failure injection for crash-safety tests: a writer counts the file-system steps of each write
// (create the temporary file, write, flush, close, rename, flush the folder, ...) and a test makes
// the n-th of them fail with EIO, one n after the other, to see that every failure leaves the old
// file whole. Each writer keeps its own counter, thread_local, so tests on other threads and other
// writers are not hit. One thread (the counter's own).
//
//   thread_local files::StepFailures steps;
//   ...
//   files::StepFailures::Write counting(steps);  // one write
//   if (steps.injected() || ::fsync(fd) != 0) return fail(errno);

#include <cerrno>

namespace kestrom::files {

class StepFailures {
 public:
  /// The scope of one write: counting starts again at 0, and a failure the write did not reach
  /// is disarmed at its end, so it cannot hit a later write.
  class Write {
   public:
    explicit Write(StepFailures& steps) : steps_(steps) { steps_.taken_ = 0; }
    ~Write() { steps_.failAt_ = 0; }
    Write(const Write&) = delete;
    Write& operator=(const Write&) = delete;

   private:
    StepFailures& steps_;
  };

  /// Makes the n-th step (1 = the first) of the next write fail; 0 turns it off.
  void failNth(int n) { failAt_ = n; }
  /// How many steps the last write took (the range worth looping over).
  int taken() const { return taken_; }

  /// Counts one step; true, with errno set to EIO, when it is the one a test asked to fail.
  bool injected() {
    ++taken_;
    if (failAt_ > 0 && taken_ == failAt_) {
      failAt_ = 0;
      errno = EIO;
      return true;
    }
    return false;
  }

 private:
  int failAt_ = 0;  // 0: no injected failure
  int taken_ = 0;
};

}  // namespace kestrom::files

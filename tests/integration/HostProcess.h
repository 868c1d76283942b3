#pragma once
// The headless host as a child process with a home folder of its own: started on the sample
// bundle, its two ports read from its first line, stopped with SIGTERM.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace kestrom::test {

/// A temporary home folder for a host process, removed with everything in it afterwards.
struct TemporaryHome {
  std::filesystem::path path;
  TemporaryHome();
  ~TemporaryHome();
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;
};

class HostProcess {
 public:
  /// Variables set in the host's environment on top of this process's (LD_PRELOAD, a bus address).
  using Environment = std::map<std::string, std::string>;

  /// Starts the host with HOME = `home` (XDG folders below it) and waits for its ports.
  explicit HostProcess(const std::filesystem::path& home, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                       const Environment& environment = {});
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool running() const { return pid_ > 0 && wsPort_ != 0; }
  unsigned wsPort() const { return wsPort_; }
  unsigned httpPort() const { return httpPort_; }
  std::chrono::steady_clock::time_point startedAt() const { return startedAt_; }
  /// SIGTERM, then waits; the exit status (0 for a clean stop), or none when it had to be killed.
  std::optional<int> stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  /// Everything the host wrote to stderr so far.
  std::string errorOutput() const;

 private:
  pid_t pid_ = -1;
  unsigned wsPort_ = 0;
  unsigned httpPort_ = 0;
  std::filesystem::path errFile_;
  std::chrono::steady_clock::time_point startedAt_;
};

}  // namespace kestrom::test

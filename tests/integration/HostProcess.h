#pragma once
// The headless host as a child process with a home folder of its own: started on the sample
// bundle, its secret file and two ports read from its standard output, stopped with SIGTERM.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrom::test {

/// A temporary home folder for a host process, removed with everything in it afterwards.
struct TemporaryHome {
  std::filesystem::path path;
  TemporaryHome();
  ~TemporaryHome();
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;
};

/// What a test changes in the host's process beyond its home folder.
struct HostOptions {
  /// Set in the host's environment (e.g. TMPDIR).
  std::map<std::string, std::string> environment;
  /// RLIMIT_NOFILE soft and hard limits for the host.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> descriptorLimit;
  /// RLIMIT_FSIZE for the host (SIGXFSZ ignored, so a write past it fails with EFBIG): a full disk.
  std::optional<std::uint64_t> fileSizeLimit;
  /// The bundle the host runs; the sample bundle when empty.
  std::filesystem::path bundle;
  /// Arguments after the program name (project files to open, for instance).
  std::vector<std::string> arguments;
};

class HostProcess {
 public:
  /// Variables set in the host's environment on top of this process's (LD_PRELOAD, a bus address).
  using Environment = std::map<std::string, std::string>;

  /// Starts the host with HOME = `home` (XDG folders below it) and waits for its ports, `timeout`
  /// scaled for slow builds.
  explicit HostProcess(const std::filesystem::path& home, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  HostProcess(const std::filesystem::path& home, const HostOptions& options,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool running() const { return pid_ > 0 && wsPort_ != 0; }
  pid_t pid() const { return pid_; }
  unsigned wsPort() const { return wsPort_; }
  unsigned httpPort() const { return httpPort_; }
  /// The per-launch secret, as read from the file the host named.
  const std::string& secret() const { return secret_; }
  const std::filesystem::path& secretFile() const { return secretFile_; }
  /// "kestrom-session=<secret>": the value of the Cookie header every request must carry.
  std::string cookie() const { return "kestrom-session=" + secret_; }
  std::chrono::steady_clock::time_point startedAt() const { return startedAt_; }
  /// Ends the host with SIGKILL at once, as a crash would; nothing is cleaned up.
  void kill();
  /// SIGTERM, then waits; the exit status (0 for a clean stop), or none when it had to be killed.
  std::optional<int> stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  /// Everything the host wrote to stderr so far.
  std::string errorOutput() const;
  /// The first line the host wrote to stdout that begins with `prefix`, waiting up to `timeout`
  /// (scaled for slow builds) for it; none when none came.
  std::optional<std::string> outputLine(std::string_view prefix, std::chrono::milliseconds timeout);
  /// Waits until the host shows its web view: a page loads only then, once start-up work such as
  /// the prepacked content copy is over. False when it did not within `timeout`.
  bool waitUntilPageShown(std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

 private:
  std::optional<std::string> lineStartingWith(std::string_view prefix, std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  unsigned wsPort_ = 0;
  unsigned httpPort_ = 0;
  std::filesystem::path errFile_;
  int output_ = -1;                   // the read end of the host's stdout
  std::vector<std::string> outputLines_;  // the whole lines read from it so far
  std::string partialLine_;
  std::filesystem::path secretFile_;
  std::string secret_;
  std::chrono::steady_clock::time_point startedAt_;
};

}  // namespace kestrom::test

#include "tests/integration/HostProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace kestrom::test {

TemporaryHome::TemporaryHome() {
  auto pattern = (std::filesystem::temp_directory_path() / "kestrom-home-XXXXXX").string();
  path = mkdtemp(pattern.data());
}

TemporaryHome::~TemporaryHome() {
  std::error_code error;
  std::filesystem::remove_all(path, error);
}

HostProcess::HostProcess(const std::filesystem::path& home, std::chrono::milliseconds timeout,
                         const Environment& environment) {
  std::filesystem::create_directories(home);
  errFile_ = home / "host-stderr.log";
  int out[2];
  if (pipe(out) != 0) return;
  startedAt_ = std::chrono::steady_clock::now();
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    int err = open(errFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) dup2(err, STDERR_FILENO);
    close(out[0]);
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CACHE_HOME");
    setenv("KESTROM_BUNDLE_DIR", KESTROM_SOURCE_DIR "/bundle", 1);
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    execl(KESTROM_HOST_BINARY, KESTROM_HOST_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{out[0], POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (poll(&fd, 1, static_cast<int>(std::max<long>(1, left.count()))) <= 0) continue;
    char c;
    if (read(out[0], &c, 1) != 1) break;
    if (c == '\n') break;
    line += c;
  }
  close(out[0]);
  if (std::sscanf(line.c_str(), "ports ws=%u http=%u", &wsPort_, &httpPort_) != 2) wsPort_ = httpPort_ = 0;
}

HostProcess::~HostProcess() { stop(); }

std::optional<int> HostProcess::stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return std::nullopt;
}

std::string HostProcess::errorOutput() const {
  std::ifstream in(errFile_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace kestrom::test

#include "tests/integration/HostProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/TimeFactor.h"

namespace kestrom::test {

TemporaryHome::TemporaryHome() {
  auto pattern = (std::filesystem::temp_directory_path() / "kestrom-home-XXXXXX").string();
  path = mkdtemp(pattern.data());
}

TemporaryHome::~TemporaryHome() {
  std::error_code error;
  std::filesystem::remove_all(path, error);
}

HostProcess::HostProcess(const std::filesystem::path& home, std::chrono::milliseconds timeout)
    : HostProcess(home, HostOptions{}, timeout) {}

HostProcess::HostProcess(const std::filesystem::path& home, const HostOptions& options,
                         std::chrono::milliseconds timeout) {
  std::vector<std::string> arguments = options.arguments;
  arguments.insert(arguments.begin(), KESTROM_HOST_BINARY);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::filesystem::create_directories(home);
  // The secret file goes to the home's own runtime folder, so a killed host leaves nothing elsewhere.
  const auto runtime = home / "run";
  std::filesystem::create_directories(runtime);
  chmod(runtime.c_str(), 0700);
  errFile_ = home / "host-stderr.log";
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  startedAt_ = std::chrono::steady_clock::now();
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    int err = open(errFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) dup2(err, STDERR_FILENO);
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CACHE_HOME");
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("KESTROM_BUNDLE_DIR", options.bundle.empty() ? KESTROM_SOURCE_DIR "/bundle" : options.bundle.c_str(), 1);
    for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
    if (options.descriptorLimit) {
      rlimit limit{options.descriptorLimit->first, options.descriptorLimit->second};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.fileSizeLimit) {
      signal(SIGXFSZ, SIG_IGN);  // kept across exec: writes past the limit fail with EFBIG
      rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execv(KESTROM_HOST_BINARY, argv.data());
    _exit(127);
  }
  close(out[1]);
  output_ = out[0];
  const auto deadline = std::chrono::steady_clock::now() + scaledWait(timeout);
  // "secret-file <path>" comes first, then "ports ws=… http=…".
  if (auto line = lineStartingWith("secret-file ", deadline)) {
    secretFile_ = line->substr(12);
    std::ifstream in(secretFile_);
    std::getline(in, secret_);
  }
  auto ports = lineStartingWith("ports ", deadline);
  if (secret_.empty() || !ports || std::sscanf(ports->c_str(), "ports ws=%u http=%u", &wsPort_, &httpPort_) != 2)
    wsPort_ = httpPort_ = 0;
}

std::optional<std::string> HostProcess::outputLine(std::string_view prefix, std::chrono::milliseconds timeout) {
  return lineStartingWith(prefix, std::chrono::steady_clock::now() + scaledWait(timeout));
}

std::optional<std::string> HostProcess::lineStartingWith(std::string_view prefix,
                                                         std::chrono::steady_clock::time_point deadline) {
  for (const auto& line : outputLines_)
    if (line.starts_with(prefix)) return line;
  while (output_ >= 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd fd{output_, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (poll(&fd, 1, static_cast<int>(std::max<long>(1, left.count()))) <= 0) continue;
    char c;
    if (read(output_, &c, 1) != 1) break;
    if (c != '\n') {
      partialLine_ += c;
      continue;
    }
    outputLines_.push_back(std::move(partialLine_));
    partialLine_.clear();
    if (outputLines_.back().starts_with(prefix)) return outputLines_.back();
  }
  return std::nullopt;
}

HostProcess::~HostProcess() {
  stop();
  if (output_ >= 0) close(output_);
}

void HostProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::optional<int> HostProcess::stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  ::kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      if (WIFSIGNALED(status)) std::fprintf(stderr, "the host died of signal %d\n", WTERMSIG(status));
      return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::fprintf(stderr, "the host did not stop in time\n");
  ::kill(pid_, SIGKILL);
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

bool HostProcess::waitUntilPageShown(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (errorOutput().find("Showing the web view") == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace kestrom::test

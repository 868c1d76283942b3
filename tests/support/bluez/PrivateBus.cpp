#include "tests/support/bluez/PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/TempFolder.h"

extern char** environ;

namespace kestrom::testing {

namespace {

std::atomic<pid_t> gDaemon{-1};  // the one daemon alive, for killAll from a watchdog thread

// The bus configuration; the folder its socket goes in sits between the two halves.
constexpr const char* kConfigHead = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:dir=)";
constexpr const char* kConfigTail = R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
)";

}  // namespace

PrivateBus::PrivateBus() {
  // The daemon's socket: "/kestrom-bus-XXXXXX/dbus-XXXXXXXXXX" below the folder, and the daemon
  // takes paths of 99 bytes at most, 8 fewer than the system.
  std::string folder = (test::temporaryFolderWithRoom(35 + 8 + 2) / "kestrom-bus-XXXXXX").string();
  if (!::mkdtemp(folder.data())) {
    throw std::runtime_error("mkdtemp failed");
  }
  folder_ = folder;
  std::string config = folder_ + "/bus.conf";
  std::ofstream(config) << kConfigHead << folder_ << kConfigTail;

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
  // Not our output: the daemon must not hold the test's pipes open should the test die first.
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string configArg = "--config-file=" + config;
  const char* argv[] = {"dbus-daemon", "--nofork", "--nopidfile", "--print-address=3", configArg.c_str(), nullptr};
  int rc = ::posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    throw std::runtime_error("cannot start dbus-daemon");
  }
  gDaemon = pid_;
  std::string line;
  for (;;) {
    pollfd pfd{pipeFds[0], POLLIN, 0};
    if (::poll(&pfd, 1, 20'000) <= 0) {
      break;
    }
    char c;
    if (::read(pipeFds[0], &c, 1) != 1 || c == '\n') {
      break;
    }
    line.push_back(c);
  }
  ::close(pipeFds[0]);
  if (line.empty()) {
    throw std::runtime_error("dbus-daemon printed no address");
  }
  address_ = line;
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateBus::~PrivateBus() {
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (pid_ > 0) {
    gDaemon = -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void PrivateBus::killAll() {
  pid_t pid = gDaemon.exchange(-1);
  if (pid > 0) {
    ::kill(pid, SIGKILL);
  }
}

}  // namespace kestrom::testing

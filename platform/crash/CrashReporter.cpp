#include "platform/crash/CrashReporter.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include <backward.hpp>

namespace kestrom::crash {

namespace {

constexpr std::array kSignals{SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Filled before the handlers go in, so the handler itself only reads it.
char reportPath[4096];

void onFatalSignal(int signal, siginfo_t*, void*) {
  int fd = open(reportPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    char header[96];
    int length = std::snprintf(header, sizeof header, "Fatal signal %d (%s)\n", signal, strsignal(signal));
    if (length > 0) (void)!write(fd, header, static_cast<std::size_t>(length));
    // Not async-signal-safe in every path, but the process is going down anyway; the trace is
    // worth the risk, as with any crash reporter.
    if (FILE* file = fdopen(fd, "a")) {
      backward::StackTrace trace;
      trace.load_here(64);
      trace.skip_n_firsts(2);
      backward::Printer printer;
      printer.color_mode = backward::ColorMode::never;
      printer.print(trace, file);
      std::fclose(file);
    } else {
      close(fd);
    }
  }
  // Let the signal end the process the way it would have without us.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  raise(signal);
}

}  // namespace

void start(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  std::string path = (folder / ("crash-" + std::to_string(getpid()) + ".log")).string();
  if (path.size() >= sizeof reportPath) return;
  std::memcpy(reportPath, path.c_str(), path.size() + 1);
  struct sigaction action {};
  action.sa_sigaction = onFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : kSignals) sigaction(signal, &action, nullptr);
}

}  // namespace kestrom::crash

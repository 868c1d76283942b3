#pragma once
// The application as a GUI test runs it: a child process with a home of its own, its file log and
// defaults, a copy of the sample bundle with another page, and the waits that poll them.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TempFolder.h"

namespace kestrom::gui_testing {

namespace fs = std::filesystem;

inline const std::string kJSError = "\xF0\x9F\x93\x95 JS error";
inline const std::string kJSInfo = "\xF0\x9F\x93\x98 JS info: ";

std::string readFile(const fs::path& path);

/// Polls `done` (another process's doing) every `step` until it holds or `timeout` passed.
bool waitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done,
               std::chrono::milliseconds step = std::chrono::milliseconds(40));

/// The application's home for one test, removed with everything in it at the end.
class TempHome {
 public:
  // The web view's sandbox puts a socket in the home: ".cache/webkitgtk/bus-proxy-XXXXXX".
  TempHome() : folder_("kestrom-gui", 19 + 34 + 2) {}
  const fs::path& path() const { return folder_.path(); }
  fs::path fileLog() const { return path() / ".local/share/Kestrom/logs/ostrel.log"; }
  fs::path defaults() const { return path() / ".config/org.kestrom.Kestrom/defaults.json"; }

 private:
  test::TempFolder folder_;
};

bool fileLogHas(const TempHome& home, const std::string& text);

/// A test that hangs (a window that never shows, an application that never quits) ends here: the
/// application is killed and the test program stops with a message, long before CTest's own limit.
/// A SIGALRM handler.
void watchdogFired(int);

// The application as a child process with its own home; killed if the test leaves it running.
class App {
 public:
  explicit App(const TempHome& home, std::vector<std::string> extraArguments = {},
               std::string bundle = KESTROM_BUNDLE_PATH);
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::string output() const { return readFile(output_); }

  /// The exit status once the process ended within `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);

 private:
  fs::path output_;
  pid_t pid_ = -1;
};

// A copy of the sample bundle whose page is `indexScript`.
class TestBundle {
 public:
  explicit TestBundle(const fs::path& indexScript);
  std::string path() const { return path_.string(); }

 private:
  TempHome home_;
  fs::path path_;
};

}  // namespace kestrom::gui_testing

// The headless host: the kit on a bundle, without a window. Both servers run as in the desktop
// application; the page may connect from a browser or a test. Writes the per-launch secret to a
// file only its user can read, prints "secret-file <path>" and then, once both servers listen,
// "ports ws=<port> http=<port>" on stdout; stops cleanly on SIGTERM or SIGINT and removes the file.
// Clients send the file's one line as the cookie: "Cookie: kestrom-session=<secret>". With
// KESTROM_PRINT_DEBUG_URL=1 in the environment, stdout also gets "Debug URL: <address>", the
// one-time "/debug" address for a browser, once the boot URL is built (before or after "ports").
//
//   kestrom-host [--bundle DIR] [--verbose] [PROJECT FILE...]
//   kestrom-host --help
//
// Project files named on the command line are opened as the desktop application opens the files
// the system hands it: indexed, and announced to the page when it asks for its initial projects.
// "--help" prints the usage below and exits 0; an unknown option or a "--bundle" without its folder
// prints it to stderr and exits 2.

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib-unix.h>
#include <glib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "KestromKit/kit/KestromKit.h"
#include "KestromKit/server/WSServer.h"
#include "KestromKit/host/ConsoleMessageHandlers.h"
#include "KestromKit/hubs/LinuxHubTransports.h"
#include "platform/files/AtomicFile.h"
#include "platform/bundle/Bundle.h"
#include "platform/downloader/CurlDownloader.h"
#include "platform/log/Fatal.h"
#include "tools/host/ConsoleDelegate.h"
#include "tools/host/ConsoleDialogs.h"

namespace {

constexpr const char* kUsage = R"(Usage: kestrom-host [--bundle DIR] [--verbose] [PROJECT FILE...]
       kestrom-host --help

Runs the host without a window: the kit on a bundle, its HTTP server and its WebSocket channel
on two free loopback ports, for a browser, a script or a test to talk to as the page does.

  --bundle DIR   the bundle to run; without it $KESTROM_BUNDLE_DIR, else the bundle installed
                 beside the program, else the source tree's bundle/
  --verbose      the file log keeps every line, not only errors
  PROJECT FILE   project files to open, as the desktop application opens files handed to it
  -h, --help     print this and exit

Standard output gets one line for each of these:
  secret-file PATH           at once: the file (readable by you only) that holds this run's
                             secret; every request sends it as "Cookie: kestrom-session=SECRET"
  ports ws=PORT http=PORT    once both servers listen
  Debug URL: ADDRESS         with KESTROM_PRINT_DEBUG_URL=1 in the environment: the one-time
                             "/debug" address that opens the page in a browser
The log goes to standard error (KESTROM_LOG_LEVEL=debug for more of it).

SIGTERM or SIGINT (Ctrl+C) stops the host: it removes the secret file, writes
"kestrom-host: stopped" to standard error and exits 0.
)";

std::filesystem::path defaultBundle() {
  if (const char* dir = std::getenv("KESTROM_BUNDLE_DIR"); dir && *dir) return dir;
  // The program's own path, not argv[0]: a host started through PATH has no folder in argv[0].
  std::error_code error;
  auto installed = kestrom::bundle::installedBundleLocation(std::filesystem::read_symlink("/proc/self/exe", error));
  if (!error && std::filesystem::is_directory(installed)) return installed;
  return std::filesystem::path(KESTROM_SOURCE_DIR) / "bundle";
}

/// Writes `secret` and a line break to a new file readable by its owner only: in
/// $XDG_RUNTIME_DIR when there is one, else in `fallbackFolder`. Empty when it cannot be written.
std::filesystem::path writeSecretFile(const std::string& secret, const std::filesystem::path& fallbackFolder) {
  std::filesystem::path folder = fallbackFolder;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime && std::filesystem::is_directory(runtime))
    folder = runtime;
  // Files of hosts that were killed before they could remove theirs.
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("kestrom-host-", 0) != 0 || !name.ends_with(".secret")) continue;
    const std::string digits = name.substr(13, name.size() - 13 - 7);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    if (::kill(static_cast<pid_t>(std::stol(digits)), 0) != 0 && errno == ESRCH) ::unlink(it->path().c_str());
  }
  auto file = folder / ("kestrom-host-" + std::to_string(::getpid()) + ".secret");
  ::unlink(file.c_str());  // a file of a killed host whose pid came round again
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return {};
  std::string line = secret + "\n";
  bool ok = ::fchmod(fd, 0600) == 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(file.c_str());
    return {};
  }
  return file;
}

}  // namespace

namespace {

// Every HTTP connection is served on a thread of its own, and glibc gives threads that allocate
// at once arenas of their own (up to eight per CPU) that it never unmaps: after a burst of a few
// hundred requests they held 5-7 MiB for good. Two arenas serve the host's load; what is freed in
// them goes back to the system once the host has been quiet for a while after work.
constexpr int kMallocArenas = 2;
// Longer than the web server's idle connection threads take to retire (30 s), so the trim after a
// burst comes after theirs and hands back what they freed too.
constexpr std::chrono::seconds kQuietBeforeTrim{35};

/// Trims the heap once after work: every wake-up of the main loop for something to do (a page's
/// request, a server's event, a task from another thread) counts as work and puts the trim off
/// until the loop has been quiet for kQuietBeforeTrim; the trim's own timer counts as none. An idle
/// host runs no timer for it. Main thread only.
class TrimAfterWork {
 public:
  static void install() { g_main_context_set_poll_func(nullptr, &poll); }

 private:
  using Clock = std::chrono::steady_clock;

  static gint poll(GPollFD* fds, guint count, gint timeout) {
    const gint ready = g_poll(fds, count, timeout);
    if (ready > 0) {
      lastWork_ = Clock::now();
      if (!armed_) arm(kQuietBeforeTrim);
    }
    return ready;
  }

  static void arm(Clock::duration delay) {
    armed_ = true;
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(delay).count();
    g_timeout_add(
        static_cast<guint>(milliseconds),
        +[](gpointer) -> gboolean {
          const auto quiet = Clock::now() - lastWork_;
          if (quiet < kQuietBeforeTrim) {
            arm(kQuietBeforeTrim - quiet);
          } else {
            armed_ = false;
            malloc_trim(0);
          }
          return G_SOURCE_REMOVE;
        },
        nullptr);
  }

  static inline Clock::time_point lastWork_;
  static inline bool armed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrom;
  mallopt(M_ARENA_MAX, kMallocArenas);  // before any thread exists
  // A reader of stdout, a socket or a pipe that went away is an error to handle, never a reason
  // to die: sendfile and plain writes have no MSG_NOSIGNAL.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> arguments(argv, argv + argc);
  std::filesystem::path bundleDir = defaultBundle();
  std::vector<std::filesystem::path> projectFiles;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--bundle" && i + 1 < arguments.size()) {
      bundleDir = arguments[++i];
    } else if (argument == "--verbose") {
      // read by the kit
    } else if (argument.starts_with("-")) {
      std::string problem = argument == "--bundle" ? "--bundle needs a folder" : "unknown option " + argument;
      std::fprintf(stderr, "kestrom-host: %s\n\n%s", problem.c_str(), kUsage);
      return 2;
    } else {
      projectFiles.emplace_back(argument);
    }
  }
  bundle::Bundle::setMain(bundleDir);
  const auto& bundle = bundle::Bundle::main();
  auto configFile = bundle.url("variant/content/appconfig/appconfig", "json");
  if (!configFile) log::fatalError("kestrom-host", "No application configuration in " + bundleDir.string());
  auto text = AtomicFile::read(*configFile);
  if (!text) log::fatalError("kestrom-host", "Unable to read " + configFile->string());

  // This thread is the main queue's from here on, as in the desktop application, whose GLib
  // application holds the default context for its whole run.
  g_main_context_acquire(nullptr);
  auto delegate = std::make_shared<headless::ConsoleDelegate>(bundleDir);
  KestromKitEnvironment environment;
  environment.localConfig = LocalConfig::read(bundleDir / "KestromKit.plist");
  environment.consoleScript = readConsoleScript(bundleDir);
  environment.downloader = downloader::makeCurlDownloader();
  environment.arguments = arguments;
  environment.makeHubTransports = makeLinuxHubTransports;
  environment.dialogServices = headless::makeConsoleDialogServices();
  auto kit = KestromKit::create(*text, delegate, {}, PlatformType::macos, std::move(environment));
  auto secretFile = writeSecretFile(kit->sessionSecret(), kit->dataFolder());
  if (secretFile.empty()) log::fatalError("kestrom-host", "Unable to write the session secret file");
  std::printf("secret-file %s\n", secretFile.c_str());
  std::fflush(stdout);
  kit->start();
  for (const auto& file : projectFiles)
    (void)kit->openProject(file, [file](const Expected<void, std::string>& opened) {
      if (!opened)
        std::fprintf(stderr, "kestrom-host: %s is not a project that can be opened: %s\n", file.c_str(),
                     opened.error().c_str());
    });

  TrimAfterWork::install();
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  auto quit = +[](gpointer data) -> gboolean {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_REMOVE;
  };
  g_unix_signal_add(SIGTERM, quit, loop);
  g_unix_signal_add(SIGINT, quit, loop);
  struct Ports {
    std::shared_ptr<KestromKit> kit;
  } ports{kit};
  g_timeout_add(
      5,
      +[](gpointer data) -> gboolean {
        // The ports as the servers reported them once listening, as the web view learns them.
        auto& controller = static_cast<Ports*>(data)->kit->webViewController();
        auto ws = controller->webSocketPort();
        auto http = controller->webServerPort();
        if (!ws || !http) return G_SOURCE_CONTINUE;
        std::printf("ports ws=%u http=%d\n", *ws, *http);
        std::fflush(stdout);
        return G_SOURCE_REMOVE;
      },
      &ports);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  // Nothing is left to save: the stores write their files when they change.
  ports.kit.reset();
  kit.reset();
  // A server thread may still hold the kit for one last event; its teardown must end before
  // the process's static objects go.
  if (!KestromKit::waitForTeardown(std::chrono::seconds(5)))
    std::fprintf(stderr, "kestrom-host: the teardown did not end in time\n");
  std::error_code ignored;
  std::filesystem::remove(secretFile, ignored);
  g_main_context_release(nullptr);
  std::fprintf(stderr, "kestrom-host: stopped\n");
  return 0;
}

#include "tests/gui/GuiSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kestrom::gui_testing {

namespace {

using Clock = std::chrono::steady_clock;

// The application now running, for the watchdog.
std::atomic<pid_t> runningApp{-1};

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool waitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done,
               std::chrono::milliseconds step) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(step);  // polling another process
  }
  return done();
}

bool fileLogHas(const TempHome& home, const std::string& text) {
  return readFile(home.fileLog()).find(text) != std::string::npos;
}

void watchdogFired(int) {
  pid_t pid = runningApp.load();
  if (pid > 0) ::kill(pid, SIGKILL);
  static const char message[] = "GUI test watchdog: the test took too long\n";
  (void)!::write(STDERR_FILENO, message, sizeof message - 1);
  ::_exit(124);
}

App::App(const TempHome& home, std::vector<std::string> extraArguments, std::string bundle)
    : output_(home.path() / "app.log") {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_", 0) == 0 || entry.rfind("KESTROM_", 0) == 0) continue;
    environment.push_back(entry);
  }
  // Its own folders, where it would find them without the variables: left unset, a library that
  // reads the account's home from the password database (mesa's shader cache) writes to the user's.
  environment.push_back("HOME=" + home.path().string());
  environment.push_back("XDG_DATA_HOME=" + (home.path() / ".local/share").string());
  environment.push_back("XDG_CONFIG_HOME=" + (home.path() / ".config").string());
  environment.push_back("XDG_CACHE_HOME=" + (home.path() / ".cache").string());
  environment.push_back("XDG_STATE_HOME=" + (home.path() / ".local/state").string());
  environment.push_back("GTK_A11Y=none");
  std::vector<std::string> arguments;
  // KESTROM_GUI_WRAPPER runs the application under another program ("gdb -batch -ex run -ex bt
  // --args") when a test needs looking into.
  if (const char* wrapper = std::getenv("KESTROM_GUI_WRAPPER")) {
    std::istringstream words(wrapper);
    for (std::string word; words >> word;) arguments.push_back(word);
  }
  arguments.insert(arguments.end(), {KESTROM_APP_PATH, "--bundle", bundle});
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  auto argv = pointers(arguments);
  auto envp = pointers(environment);
  if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  runningApp = pid_;
}

App::~App() {
  runningApp = -1;
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> App::waitForExit(std::chrono::milliseconds timeout) {
  std::optional<int> status;
  waitUntil(timeout, [&] {
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    pid_ = -1;
    return true;
  });
  return status;
}

TestBundle::TestBundle(const fs::path& indexScript) {
  path_ = home_.path() / "bundle";
  fs::copy(KESTROM_BUNDLE_PATH, path_, fs::copy_options::recursive);
  fs::copy_file(indexScript, path_ / "variant/web/index.js", fs::copy_options::overwrite_existing);
}

}  // namespace kestrom::gui_testing

// Starts the real application on the sample bundle under the X server this test runs in, watches
// the screen and the file log, and closes the window the way a window manager would.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

// Xlib last: its macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Color {
  int red;
  int green;
  int blue;
  bool near(const Color& other, int tolerance = 3) const {
    return std::abs(red - other.red) <= tolerance && std::abs(green - other.green) <= tolerance &&
           std::abs(blue - other.blue) <= tolerance;
  }
};

std::ostream& operator<<(std::ostream& out, const Color& c) {
  return out << "rgb(" << c.red << ", " << c.green << ", " << c.blue << ")";
}

// The sample bundle's launch colour (0.2, 0.4, 0.8) and the sample page's "connected" background.
constexpr Color kLaunchColor{51, 102, 204};
constexpr Color kConnectedPage{40, 160, 80};
const std::string kConfigurationLine = "\xF0\x9F\x93\x95 JS error: Sample page: host configuration received";

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool waitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(40));  // polling another process
  }
  return done();
}

class TempHome {
 public:
  TempHome() {
    std::string pattern = (fs::temp_directory_path() / "kestrom-gui.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempHome() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path fileLog() const { return path_ / ".local/share/Kestrom/logs/ostrel.log"; }
  fs::path defaults() const { return path_ / ".config/org.kestrom.Kestrom/defaults.json"; }

 private:
  fs::path path_;
};

// The application now running, for the watchdog.
std::atomic<pid_t> runningApp{-1};

// A test that hangs (a window that never shows, an application that never quits) ends here: the
// application is killed and the test program stops with a message, long before CTest's own limit.
void watchdogFired(int) {
  pid_t pid = runningApp.load();
  if (pid > 0) ::kill(pid, SIGKILL);
  static const char message[] = "GUI test watchdog: the test took too long\n";
  (void)!::write(STDERR_FILENO, message, sizeof message - 1);
  ::_exit(124);
}

// The application as a child process with its own home; killed if the test leaves it running.
class App {
 public:
  explicit App(const TempHome& home, std::vector<std::string> extraArguments = {}) : output_(home.path() / "app.log") {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_", 0) == 0 || entry.rfind("KESTROM_", 0) == 0) continue;
      environment.push_back(entry);
    }
    environment.push_back("HOME=" + home.path().string());
    environment.push_back("GTK_A11Y=none");
    std::vector<std::string> arguments;
    // KESTROM_GUI_WRAPPER runs the application under another program ("gdb -batch -ex run -ex bt
    // --args") when a test needs looking into.
    if (const char* wrapper = std::getenv("KESTROM_GUI_WRAPPER")) {
      std::istringstream words(wrapper);
      for (std::string word; words >> word;) arguments.push_back(word);
    }
    arguments.insert(arguments.end(), {KESTROM_APP_PATH, "--bundle", KESTROM_BUNDLE_PATH});
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
  ~App() {
    runningApp = -1;
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::string output() const { return readFile(output_); }

  /// The exit status once the process ended within `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
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

 private:
  static std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
  }

  fs::path output_;
  pid_t pid_ = -1;
};

// The X server the test runs in: screen pixels and the application's top-level window.
class Screen {
 public:
  Screen() : display_(XOpenDisplay(nullptr)) {}
  ~Screen() {
    if (display_) XCloseDisplay(display_);
  }
  bool isOpen() const { return display_ != nullptr; }

  Color pixel(int x, int y) const {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return {-1, -1, -1};
    unsigned long value = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return {static_cast<int>((value >> 16) & 255), static_cast<int>((value >> 8) & 255), static_cast<int>(value & 255)};
  }

  /// The mapped top-level window titled `title`.
  std::optional<Window> findWindow(const std::string& title) const {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    std::optional<Window> found;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return found;
    for (unsigned i = 0; i < count && !found; ++i) {
      XWindowAttributes attributes;
      if (!XGetWindowAttributes(display_, children[i], &attributes) || attributes.map_state != IsViewable) continue;
      char* name = nullptr;
      if (XFetchName(display_, children[i], &name) && name) {
        if (title == name) found = children[i];
        XFree(name);
      }
    }
    if (children) XFree(children);
    return found;
  }

  struct Geometry {
    int x, y, width, height;
  };
  Geometry geometry(Window window) const {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, window, &attributes);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
  }

  /// Asks the window to close, as a window manager's close button does.
  void close(Window window) const {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
  }

 private:
  Display* display_;
};

bool fileLogHasConfigurationLine(const TempHome& home) {
  return readFile(home.fileLog()).find(kConfigurationLine) != std::string::npos;
}

// One connection for the whole run: an X server resets when its last client leaves, and a test
// that connects during the reset finds no server.
Screen& sharedScreen() {
  static Screen screen;
  return screen;
}

class AppWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGALRM, watchdogFired);
    ::alarm(55);
    ASSERT_TRUE(screen_.isOpen()) << "no X server (run under xvfb-run)";
  }
  void TearDown() override { ::alarm(0); }
  Screen& screen_ = sharedScreen();
};

TEST_F(AppWindowTest, ShowsTheLaunchColourThenThePageThatReachedTheChannel) {
  TempHome home;
  App app(home);
  ASSERT_TRUE(app.started());

  // The launch colour fills the window (loading view, launch view, splash) until the page shows.
  bool launchColourSeen = false;
  bool connected = waitUntil(std::chrono::seconds(40), [&] {
    for (auto [x, y] : {std::pair{200, 900}, std::pair{1080, 900}}) {
      if (screen_.pixel(x, y).near(kLaunchColor)) launchColourSeen = true;
    }
    return fileLogHasConfigurationLine(home);
  });
  ASSERT_TRUE(connected) << "the page never reported the host configuration\n" << app.output();
  EXPECT_TRUE(launchColourSeen) << "the launch colour was never on screen";

  // Once the splash has faded out, the page's own "connected" colour fills the window.
  Color seen{};
  bool pageShown = waitUntil(std::chrono::seconds(10), [&] {
    seen = screen_.pixel(640, 700);
    return seen.near(kConnectedPage);
  });
  EXPECT_TRUE(pageShown) << "page pixel is " << seen << "\n" << app.output();
  EXPECT_TRUE(screen_.pixel(200, 900).near(kConnectedPage));

  // The page's console error reached the file log as one stamped line.
  auto log = readFile(home.fileLog());
  auto at = log.find(kConfigurationLine);
  ASSERT_NE(at, std::string::npos);
  auto lineStart = log.rfind('\n', at);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
  auto stamp = log.substr(lineStart, at - lineStart);
  EXPECT_EQ(stamp.size(), std::string("2026-12-09T04:06:01.123Z: ").size()) << stamp;
  EXPECT_EQ(stamp.substr(stamp.size() - 3), "Z: ");

  // First launch: the window fills the work area (the whole screen, without a window manager).
  auto window = screen_.findWindow("Kestrom");
  ASSERT_TRUE(window);
  auto geometry = screen_.geometry(*window);
  EXPECT_EQ(geometry.width, 1280);
  EXPECT_EQ(geometry.height, 1024);

  // Closing the window quits the application and keeps the frame for the next launch.
  screen_.close(*window);
  auto status = app.waitForExit(std::chrono::seconds(15));
  ASSERT_TRUE(status) << "the application did not quit when its window closed";
  EXPECT_EQ(*status, 0) << app.output();
  auto defaults = nlohmann::json::parse(readFile(home.defaults()), nullptr, false);
  ASSERT_TRUE(defaults.is_object()) << readFile(home.defaults());
  EXPECT_EQ(defaults.value("AppDelegate.customScreenSizeVersion", 0), 1);
  ASSERT_TRUE(defaults.contains("windowPosition"));
  EXPECT_EQ(defaults["windowPosition"].value("width", 0.0), 1280.0);
  EXPECT_EQ(defaults["windowPosition"].value("height", 0.0), 1024.0);
}

TEST_F(AppWindowTest, RestoresASavedFrameAndMovesAnOffScreenOneOntoTheMonitor) {
  struct Case {
    const char* name;
    nlohmann::json saved;
    Screen::Geometry expected;
  };
  const Case cases[] = {
      {"a frame on the monitor stays", {{"x", 100}, {"y", 80}, {"width", 1100}, {"height", 800}}, {100, 80, 1100, 800}},
      {"a frame off the monitor fills the work area",
       {{"x", 3000}, {"y", 80}, {"width", 1100}, {"height", 800}},
       {0, 0, 1280, 1024}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempHome home;
    fs::create_directories(home.defaults().parent_path());
    std::ofstream(home.defaults()) << nlohmann::json{{"AppDelegate.customScreenSizeVersion", 1},
                                                     {"windowPosition", c.saved}}
                                          .dump();
    App app(home);
    ASSERT_TRUE(app.started());
    ASSERT_TRUE(waitUntil(std::chrono::seconds(40), [&] { return fileLogHasConfigurationLine(home); }))
        << app.output();
    std::optional<Window> window;
    Screen::Geometry geometry{};
    bool placed = waitUntil(std::chrono::seconds(5), [&] {
      window = screen_.findWindow("Kestrom");
      if (!window) return false;
      geometry = screen_.geometry(*window);
      return geometry.x == c.expected.x && geometry.y == c.expected.y && geometry.width == c.expected.width &&
             geometry.height == c.expected.height;
    });
    EXPECT_TRUE(placed) << "window at " << geometry.x << "," << geometry.y << " " << geometry.width << "x"
                        << geometry.height;
    ASSERT_TRUE(window);
    screen_.close(*window);
    EXPECT_TRUE(app.waitForExit(std::chrono::seconds(15)));
  }
}

}  // namespace

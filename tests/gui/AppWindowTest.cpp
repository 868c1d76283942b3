// Starts the real application on the sample bundle under the X server this test runs in, with a
// reparenting window manager (openbox) as users have one, watches the screen and the file log,
// types keys through the XTest extension, reads the menu bar the application exports on its
// session bus, and closes the window the way a window manager's close button does.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
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
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gio/gio.h>

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
constexpr Color kWhite{255, 255, 255};
const std::string kJSError = "\xF0\x9F\x93\x95 JS error";
const std::string kJSInfo = "\xF0\x9F\x93\x98 JS info: ";

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool waitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done,
               std::chrono::milliseconds step = std::chrono::milliseconds(40)) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(step);  // polling another process
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
  explicit App(const TempHome& home, std::vector<std::string> extraArguments = {},
               std::string bundle = KESTROM_BUNDLE_PATH)
      : output_(home.path() / "app.log") {
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

// The X server the test runs in: screen pixels, the application's windows and their frames, and
// keys typed through XTest.
class Screen {
 public:
  Screen() : display_(XOpenDisplay(nullptr)) {
    // Windows come and go while the tree is walked (the window manager's, the splash's): a window
    // that vanished between two requests is skipped, never a reason for Xlib to end the process.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  }
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

  /// The mapped client window titled `title`, inside the window manager's frames.
  std::optional<Window> findWindow(const std::string& title) const {
    return findBelow(DefaultRootWindow(display_), title, 3);
  }

  struct Geometry {
    int x, y, width, height;
    bool operator==(const Geometry&) const = default;
  };
  /// The client window's own area in root coordinates.
  Geometry geometry(Window window) const {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, window, &attributes);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
  }
  /// The outer frame around the client: the root's child that holds it.
  Geometry frame(Window window) const {
    Window top = window;
    for (int depth = 0; depth < 8; ++depth) {
      Window root = 0, parent = 0;
      Window* children = nullptr;
      unsigned count = 0;
      if (!XQueryTree(display_, top, &root, &parent, &children, &count)) break;
      if (children) XFree(children);
      if (parent == root || parent == 0) break;
      top = parent;
    }
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, top, &attributes);
    int b = attributes.border_width;
    return {attributes.x, attributes.y, attributes.width + 2 * b, attributes.height + 2 * b};
  }
  /// The root window's work area as the window manager publishes it.
  std::optional<Geometry> workArea() const {
    auto values = cardinals(DefaultRootWindow(display_), "_NET_WORKAREA");
    if (values.size() < 4) return std::nullopt;
    return Geometry{static_cast<int>(values[0]), static_cast<int>(values[1]), static_cast<int>(values[2]),
                    static_cast<int>(values[3])};
  }
  bool windowManagerRuns() const {
    Atom check = XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    bool found = XGetWindowProperty(display_, DefaultRootWindow(display_), check, 0, 1, False, XA_WINDOW, &type,
                                    &format, &count, &after, &data) == Success &&
                 data && count == 1;
    if (data) XFree(data);
    return found;
  }

  /// Asks for the outer frame `frame`, as a user dragging the window would end up with it.
  void setFrame(Window window, const Geometry& frame) const {
    Geometry outer = this->frame(window);
    Geometry inner = geometry(window);
    int horizontal = outer.width - inner.width;
    int vertical = outer.height - inner.height;
    XMoveResizeWindow(display_, window, frame.x, frame.y, static_cast<unsigned>(frame.width - horizontal),
                      static_cast<unsigned>(frame.height - vertical));
    XFlush(display_);
  }

  /// Presses `keys` in order and releases them in reverse, like a chord typed by hand.
  void type(std::initializer_list<KeySym> keys) const {
    for (KeySym key : keys) XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, key), True, 0);
    for (auto it = std::rbegin(keys); it != std::rend(keys); ++it)
      XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, *it), False, 0);
    XFlush(display_);
  }

  /// Types `text` (ASCII letters, digits and "/.-_") key by key, with Shift where a capital needs it.
  void typeText(const std::string& text) const {
    for (char c : text) {
      KeySym key = NoSymbol;
      bool shift = false;
      if (c == '/') key = XK_slash;
      else if (c == '.') key = XK_period;
      else if (c == '-') key = XK_minus;
      else if (c == '_') key = XK_underscore, shift = true;
      else if (std::isupper(static_cast<unsigned char>(c))) key = XK_a + (c - 'A'), shift = true;
      else if (std::islower(static_cast<unsigned char>(c))) key = XK_a + (c - 'a');
      else if (std::isdigit(static_cast<unsigned char>(c))) key = XK_0 + (c - '0');
      if (key == NoSymbol) continue;
      if (shift) {
        type({XK_Shift_L, key});
      } else {
        type({key});
      }
    }
  }

  /// The window the window manager has given the focus (_NET_ACTIVE_WINDOW).
  std::optional<Window> activeWindow() const {
    Atom property = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<Window> active;
    if (XGetWindowProperty(display_, DefaultRootWindow(display_), property, 0, 1, False, XA_WINDOW, &type, &format,
                           &count, &after, &data) == Success &&
        data && count == 1) {
      Window window = *reinterpret_cast<const Window*>(data);
      if (window) active = window;
    }
    if (data) XFree(data);
    return active;
  }

  /// The UTF-8 title a window carries for window managers (_NET_WM_NAME); empty when none.
  std::string title(Window window) const {
    Atom property = XInternAtom(display_, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(display_, window, property, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
            Success &&
        data && format == 8) {
      text.assign(reinterpret_cast<const char*>(data), count);
    }
    if (data) XFree(data);
    return text;
  }

  /// Every mapped client window's UTF-8 title, inside the window manager's frames.
  std::vector<std::string> titles() const {
    std::vector<std::string> found;
    collectTitles(DefaultRootWindow(display_), 3, found);
    return found;
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
  std::optional<Window> findBelow(Window parent, const std::string& title, int depth) const {
    Window root = 0, up = 0;
    Window* children = nullptr;
    unsigned count = 0;
    std::optional<Window> found;
    if (!XQueryTree(display_, parent, &root, &up, &children, &count)) return found;
    for (unsigned i = 0; i < count && !found; ++i) {
      XWindowAttributes attributes;
      if (!XGetWindowAttributes(display_, children[i], &attributes) || attributes.map_state != IsViewable) continue;
      char* name = nullptr;
      if (XFetchName(display_, children[i], &name) && name) {
        if (title == name) found = children[i];
        XFree(name);
      }
      if (!found && depth > 1) found = findBelow(children[i], title, depth - 1);
    }
    if (children) XFree(children);
    return found;
  }

  void collectTitles(Window parent, int depth, std::vector<std::string>& found) const {
    Window root = 0, up = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, parent, &root, &up, &children, &count)) return;
    for (unsigned i = 0; i < count; ++i) {
      XWindowAttributes attributes;
      if (!XGetWindowAttributes(display_, children[i], &attributes) || attributes.map_state != IsViewable) continue;
      if (auto text = title(children[i]); !text.empty()) found.push_back(text);
      if (depth > 1) collectTitles(children[i], depth - 1, found);
    }
    if (children) XFree(children);
  }

  std::vector<long> cardinals(Window window, const char* name) const {
    Atom property = XInternAtom(display_, name, False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<long> values;
    if (XGetWindowProperty(display_, window, property, 0, 64, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        data && format == 32) {
      const auto* longs = reinterpret_cast<const long*>(data);
      values.assign(longs, longs + count);
    }
    if (data) XFree(data);
    return values;
  }

  Display* display_;
};

std::ostream& operator<<(std::ostream& out, const Screen::Geometry& g) {
  return out << g.x << "," << g.y << " " << g.width << "x" << g.height;
}

// One connection for the whole run: an X server resets when its last client leaves, and a test
// that connects during the reset finds no server.
Screen& sharedScreen() {
  static Screen screen;
  return screen;
}

// openbox for the whole run: the frames, work area and focus a user's desktop gives a window.
class WindowManager : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!sharedScreen().isOpen()) return;
    char program[] = "openbox";
    char option[] = "--sm-disable";
    char* argv[] = {program, option, nullptr};
    if (posix_spawnp(&pid_, program, nullptr, nullptr, argv, environ) != 0) {
      pid_ = -1;
      return;
    }
    // openbox names itself on the root window before it publishes the work area.
    waitUntil(std::chrono::seconds(20),
              [] { return sharedScreen().windowManagerRuns() && sharedScreen().workArea().has_value(); });
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

 private:
  pid_t pid_ = -1;
};

[[maybe_unused]] auto* const windowManager = ::testing::AddGlobalTestEnvironment(new WindowManager);

bool fileLogHas(const TempHome& home, const std::string& text) {
  return readFile(home.fileLog()).find(text) != std::string::npos;
}

// A copy of the sample bundle whose page is `indexScript`.
class TestBundle {
 public:
  explicit TestBundle(const fs::path& indexScript) : home_() {
    path_ = home_.path() / "bundle";
    fs::copy(KESTROM_BUNDLE_PATH, path_, fs::copy_options::recursive);
    fs::copy_file(indexScript, path_ / "variant/web/index.js", fs::copy_options::overwrite_existing);
  }
  std::string path() const { return path_.string(); }

 private:
  TempHome home_;
  fs::path path_;
};

// The labels of the menu bar the application exports on the session bus, read through the menu
// protocol GTK uses for it (org.gtk.Menus), as one printed value.
std::string exportedMenuBar() {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return "(no session bus)";
  GVariantBuilder groups;
  g_variant_builder_init(&groups, G_VARIANT_TYPE("au"));
  for (guint32 group = 0; group < 32; ++group) g_variant_builder_add(&groups, "u", group);
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.kestrom.Kestrom", "/org/kestrom/Kestrom/menus/menubar",
                                                "org.gtk.Menus", "Start", g_variant_new("(au)", &groups),
                                                G_VARIANT_TYPE("(a(uuaa{sv}))"), G_DBUS_CALL_FLAGS_NONE, 5000,
                                                nullptr, &error);
  std::string text;
  if (reply) {
    gchar* printed = g_variant_print(reply, FALSE);
    text = printed;
    g_free(printed);
    g_variant_unref(reply);
  } else {
    text = std::string("(no menu bar: ") + (error ? error->message : "?") + ")";
    g_clear_error(&error);
  }
  g_object_unref(bus);
  return text;
}

// Activates the application action `name` over the session bus (org.gtk.Actions), as choosing
// its menu item does; empty on success, else the error.
std::string activateApplicationAction(const char* name) {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return "no session bus";
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.kestrom.Kestrom", "/org/kestrom/Kestrom", "org.gtk.Actions", "Activate",
      g_variant_new("(s@av@a{sv})", name, g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0),
                    g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
      nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  std::string failure;
  if (reply) {
    g_variant_unref(reply);
  } else {
    failure = error ? error->message : "?";
    g_clear_error(&error);
  }
  g_object_unref(bus);
  return failure;
}

// A desktop session manager on the test's session bus (the protocol GTK speaks to
// org.gnome.SessionManager): it registers the application as a client and can end the session,
// asking the client first (QueryEndSession), then telling it (EndSession), as a logout does.
class FakeSessionManager {
 public:
  FakeSessionManager() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
    thread_ = std::thread([this] {
      g_main_context_push_thread_default(context_);
      bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
      if (bus_) {
        static const char kXml[] =
            "<node>"
            "<interface name='org.gnome.SessionManager'>"
            "<method name='RegisterClient'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
            "<arg type='o' direction='out'/></method>"
            "<method name='UnregisterClient'><arg type='o' direction='in'/></method>"
            "</interface>"
            "<interface name='org.gnome.SessionManager.ClientPrivate'>"
            "<method name='EndSessionResponse'><arg type='b' direction='in'/><arg type='s' direction='in'/></method>"
            "<signal name='QueryEndSession'><arg type='u'/></signal>"
            "<signal name='EndSession'><arg type='u'/></signal>"
            "</interface>"
            "</node>";
        info_ = g_dbus_node_info_new_for_xml(kXml, nullptr);
        static const GDBusInterfaceVTable vtable{&FakeSessionManager::onCall, nullptr, nullptr, {}};
        g_dbus_connection_register_object(bus_, "/org/gnome/SessionManager", info_->interfaces[0], &vtable, this,
                                          nullptr, nullptr);
        g_dbus_connection_register_object(bus_, kClientPath, info_->interfaces[1], &vtable, this, nullptr, nullptr);
        GVariant* reply = g_dbus_connection_call_sync(
            bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
            g_variant_new("(su)", "org.gnome.SessionManager", 4u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000,
            nullptr, nullptr);
        if (reply) {
          guint32 code = 0;
          g_variant_get(reply, "(u)", &code);
          owned_ = code == 1;  // the primary owner
          g_variant_unref(reply);
        }
      }
      ready_ = true;
      g_main_loop_run(loop_);
      if (owned_) {
        GVariant* reply = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "ReleaseName",
                                                      g_variant_new("(s)", "org.gnome.SessionManager"), nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (reply) g_variant_unref(reply);
      }
      if (bus_) g_object_unref(bus_);
      g_main_context_pop_thread_default(context_);
    });
    waitUntil(std::chrono::seconds(10), [this] { return ready_.load(); });
  }
  ~FakeSessionManager() {
    g_main_context_invoke(context_, +[](gpointer loop) -> gboolean {
      g_main_loop_quit(static_cast<GMainLoop*>(loop));
      return G_SOURCE_REMOVE;
    }, loop_);
    thread_.join();
    if (info_) g_dbus_node_info_unref(info_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }
  bool owned() const { return owned_; }
  bool clientRegistered() const { return registered_; }
  bool endSessionAnswered() const { return answers_ >= 2; }

  /// Ends the session: asks, then tells every registered client.
  void endSession() {
    g_main_context_invoke(context_, +[](gpointer data) -> gboolean {
      auto* self = static_cast<FakeSessionManager*>(data);
      for (const char* name : {"QueryEndSession", "EndSession"}) {
        g_dbus_connection_emit_signal(self->bus_, nullptr, kClientPath, "org.gnome.SessionManager.ClientPrivate", name,
                                      g_variant_new("(u)", 0u), nullptr);
      }
      g_dbus_connection_flush_sync(self->bus_, nullptr, nullptr);
      return G_SOURCE_REMOVE;
    }, this);
  }

 private:
  static constexpr const char* kClientPath = "/org/gnome/SessionManager/Client1";

  static void onCall(GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant*,
                     GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<FakeSessionManager*>(data);
    std::string name = method;
    if (name == "RegisterClient") {
      self->registered_ = true;
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", kClientPath));
      return;
    }
    if (name == "EndSessionResponse") ++self->answers_;
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  GMainContext* context_;
  GMainLoop* loop_;
  std::thread thread_;
  GDBusConnection* bus_ = nullptr;  // the thread's
  GDBusNodeInfo* info_ = nullptr;
  std::atomic<bool> ready_ = false;
  std::atomic<bool> owned_ = false;
  std::atomic<bool> registered_ = false;
  std::atomic<int> answers_ = 0;
};

class AppWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGALRM, watchdogFired);
    ::alarm(50);
    ASSERT_TRUE(screen_.isOpen()) << "no X server (run under xvfb-run)";
    ASSERT_TRUE(screen_.windowManagerRuns()) << "openbox did not start";
  }
  void TearDown() override { ::alarm(0); }

  // The application's window once the window manager has framed it and the frame is `expected`
  // and holds still; `frame` is the last frame seen (a window that never gets there fails the
  // caller's comparison after the wait). The application places its window once it is mapped, so
  // the frame may first show where the window manager put it.
  std::optional<Window> windowWithFrame(App& app, const Screen::Geometry& expected, Screen::Geometry& frame) {
    std::optional<Window> window;
    int still = 0;
    waitUntil(std::chrono::seconds(30), [&] {
      window = screen_.findWindow("Kestrom");
      if (!window) return false;
      frame = screen_.frame(*window);
      still = frame == expected ? still + 1 : 0;
      return still >= 8;  // about a third of a second at the expected frame
    });
    if (!window) ADD_FAILURE() << "no window\n" << app.output();
    return window;
  }

  // The started application's window once its frame is `expected` (a failure otherwise).
  std::optional<Window> framedWindow(App& app, const Screen::Geometry& expected) {
    if (!app.started()) {
      ADD_FAILURE() << "the application did not start";
      return std::nullopt;
    }
    Screen::Geometry frame{};
    auto window = windowWithFrame(app, expected, frame);
    EXPECT_EQ(frame, expected);
    return window;
  }

  Screen& screen_ = sharedScreen();
};

TEST_F(AppWindowTest, FirstLaunchShowsTheLaunchColourThenThePageWithoutAWhiteFrameInAFrameThatFitsTheWorkArea) {
  TempHome home;
  App app(home);
  ASSERT_TRUE(app.started());

  // The launch colour fills the window (loading view, launch view, splash) until the page shows;
  // nothing white comes between them.
  bool launchColourSeen = false;
  int whiteSightings = 0;
  Color seen{};
  bool pageShown = waitUntil(std::chrono::seconds(40), [&] {
    seen = screen_.pixel(640, 700);
    if (seen.near(kLaunchColor)) launchColourSeen = true;
    if (launchColourSeen && seen.near(kWhite)) ++whiteSightings;
    return seen.near(kConnectedPage);
  });
  ASSERT_TRUE(pageShown) << "page pixel is " << seen << "\n" << app.output();
  EXPECT_TRUE(launchColourSeen) << "the launch colour was never on screen";
  EXPECT_EQ(whiteSightings, 0) << "a white frame showed between the launch colour and the page";
  EXPECT_TRUE(waitUntil(std::chrono::seconds(5), [&] { return screen_.pixel(200, 900).near(kConnectedPage); }));

  // The sample page reports its success as information: the error-only file log stays free of it.
  EXPECT_FALSE(fileLogHas(home, kJSError)) << readFile(home.fileLog());
  EXPECT_EQ(app.output().find("| Request timeout"), std::string::npos) << app.output();

  // First launch: the whole frame, decorations included, is the work area.
  auto area = screen_.workArea();
  ASSERT_TRUE(area);
  Screen::Geometry frame{};
  auto window = windowWithFrame(app, *area, frame);
  ASSERT_TRUE(window);
  EXPECT_EQ(frame, *area);
  auto content = screen_.geometry(*window);
  EXPECT_LT(content.height, frame.height) << "openbox gives the window a title bar";

  // Closing the window quits the application and keeps the frame for the next launch.
  screen_.close(*window);
  auto status = app.waitForExit(std::chrono::seconds(15));
  ASSERT_TRUE(status) << "the application did not quit when its window closed";
  EXPECT_EQ(*status, 0) << app.output();
  auto defaults = nlohmann::json::parse(readFile(home.defaults()), nullptr, false);
  ASSERT_TRUE(defaults.is_object()) << readFile(home.defaults());
  EXPECT_EQ(defaults.value("AppDelegate.customScreenSizeVersion", 0), 1);
  ASSERT_TRUE(defaults.contains("windowPosition"));
  EXPECT_EQ(defaults["windowPosition"].value("width", 0.0), frame.width);
  EXPECT_EQ(defaults["windowPosition"].value("height", 0.0), frame.height);
}

TEST_F(AppWindowTest, KeepsTheFrameTheUserLastGaveItAcrossRestartsAndMovesAnOffScreenOneOntoTheWorkArea) {
  TempHome home;
  fs::create_directories(home.defaults().parent_path());
  std::ofstream(home.defaults()) << nlohmann::json{{"AppDelegate.customScreenSizeVersion", 1},
                                                   {"windowPosition",
                                                    {{"x", 3000}, {"y", 80}, {"width", 1100}, {"height", 800}}}}
                                        .dump();
  auto area = screen_.workArea();
  ASSERT_TRUE(area);
  // Between launches the user moves and resizes the window (smaller, smaller again, then larger)
  // through the window manager and quits at once: by the close button, by the Quit action, by the
  // close button.
  const Screen::Geometry frames[] = {{100, 80, 1100, 840}, {160, 120, 1060, 800}, {40, 30, 1120, 820}};
  Screen::Geometry expected = *area;  // the saved frame lies off the monitor
  for (int launch = 0; launch < 4; ++launch) {
    SCOPED_TRACE("launch " + std::to_string(launch + 1));
    App app(home);
    auto window = framedWindow(app, expected);
    ASSERT_TRUE(window);
    bool byQuitAction = false;
    if (launch < 3) {
      // The quit follows as soon as the frame shows the new size, when the window manager may not
      // have passed the new size on to the window yet.
      const Screen::Geometry& target = frames[launch];
      screen_.setFrame(*window, target);
      ASSERT_TRUE(waitUntil(
          std::chrono::seconds(15), [&] { return screen_.frame(*window) == target; }, std::chrono::milliseconds(2)))
          << "frame is " << screen_.frame(*window);
      expected = target;
      byQuitAction = launch == 1;
    }
    if (byQuitAction) {
      EXPECT_EQ(activateApplicationAction("terminate"), "");
    } else {
      screen_.close(*window);
    }
    auto status = app.waitForExit(std::chrono::seconds(15));
    ASSERT_TRUE(status) << app.output();
    EXPECT_EQ(*status, 0) << app.output();

    // The saved frame is the one on screen at the quit, decorations included.
    auto defaults = nlohmann::json::parse(readFile(home.defaults()), nullptr, false);
    ASSERT_TRUE(defaults.is_object()) << readFile(home.defaults());
    auto saved = defaults.value("windowPosition", nlohmann::json::object());
    EXPECT_EQ((Screen::Geometry{saved.value("x", -1), saved.value("y", -1), saved.value("width", -1),
                                saved.value("height", -1)}),
              expected)
        << saved.dump();
  }
}

// The frame saved in the defaults file, if any.
std::optional<Screen::Geometry> savedFrame(const TempHome& home) {
  auto defaults = nlohmann::json::parse(readFile(home.defaults()), nullptr, false);
  if (!defaults.is_object() || !defaults.contains("windowPosition")) return std::nullopt;
  const auto& saved = defaults["windowPosition"];
  return Screen::Geometry{saved.value("x", -1), saved.value("y", -1), saved.value("width", -1),
                          saved.value("height", -1)};
}

TEST_F(AppWindowTest, AMoveOrResizeIsSavedOnceItSettlesAndSigtermOrSigintQuitsKeepingTheFrame) {
  ::alarm(100);  // three launches
  TempHome home;
  auto area = screen_.workArea();
  ASSERT_TRUE(area);
  struct Case {
    const char* what;
    int signal;
    Screen::Geometry target;
    bool settles;  // the reports settle before the signal comes
  };
  // First the save while the application runs, once the window manager's reports have settled
  // (a logout that kills the application outright keeps it too); then a signal at once after the
  // move, before they settle: the quit itself keeps the frame.
  const Case cases[] = {{"SIGTERM after the reports settled", SIGTERM, {120, 90, 1080, 820}, true},
                        {"SIGINT at once", SIGINT, {60, 40, 1120, 860}, false}};
  Screen::Geometry expected = *area;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    App app(home);
    auto window = framedWindow(app, expected);  // the frame saved at the last quit came back
    ASSERT_TRUE(window);
    screen_.setFrame(*window, c.target);
    ASSERT_TRUE(waitUntil(
        std::chrono::seconds(15), [&] { return screen_.frame(*window) == c.target; }, std::chrono::milliseconds(2)))
        << "frame is " << screen_.frame(*window);
    if (c.settles) {
      EXPECT_TRUE(waitUntil(std::chrono::seconds(10), [&] { return savedFrame(home) == c.target; }))
          << readFile(home.defaults());
    }
    ::kill(app.pid(), c.signal);
    auto status = app.waitForExit(std::chrono::seconds(15));
    ASSERT_TRUE(status) << "the signal did not quit the application\n" << app.output();
    EXPECT_EQ(*status, 0) << app.output();
    EXPECT_EQ(savedFrame(home), c.target);
    expected = c.target;
  }
  App app(home);
  auto window = framedWindow(app, expected);
  ASSERT_TRUE(window);
  screen_.close(*window);
  EXPECT_TRUE(app.waitForExit(std::chrono::seconds(15)));
}

TEST_F(AppWindowTest, TheSessionsEndQuitsKeepingTheFrameOfAMoveJustMade) {
  FakeSessionManager session;
  ASSERT_TRUE(session.owned()) << "could not own org.gnome.SessionManager on the test's bus";
  TempHome home;
  auto area = screen_.workArea();
  ASSERT_TRUE(area);
  const Screen::Geometry moved{140, 100, 1040, 800};
  App app(home);
  auto window = framedWindow(app, *area);
  ASSERT_TRUE(window);
  EXPECT_TRUE(session.clientRegistered()) << "the application did not register with the session";
  screen_.setFrame(*window, moved);
  ASSERT_TRUE(waitUntil(
      std::chrono::seconds(15), [&] { return screen_.frame(*window) == moved; }, std::chrono::milliseconds(2)));
  session.endSession();
  auto status = app.waitForExit(std::chrono::seconds(15));
  ASSERT_TRUE(status) << "the application outlived its session\n" << app.output();
  EXPECT_EQ(*status, 0) << app.output();
  EXPECT_TRUE(session.endSessionAnswered());
  EXPECT_EQ(savedFrame(home), moved) << readFile(home.defaults());
}

TEST_F(AppWindowTest, AFileHandedOverThatIsNoProjectIsToldOfInAnAlert) {
  TempHome home;
  const fs::path notes = home.path() / "notes.kpr";
  std::ofstream(notes) << "shopping list\n";
  const fs::path other = home.path() / "other.kpr";
  std::ofstream(other) << "not a project either\n";
  App app(home, {notes.string()});
  ASSERT_TRUE(app.started());
  const std::string alert = "\u201Cnotes.kpr\u201D could not be opened";
  auto hasTitle = [&](const std::string& wanted) {
    auto all = screen_.titles();
    return std::find(all.begin(), all.end(), wanted) != all.end();
  };
  EXPECT_TRUE(waitUntil(std::chrono::seconds(30), [&] { return hasTitle(alert); }))
      << "windows: " << ::testing::PrintToString(screen_.titles()) << "\n" << app.output();
  EXPECT_NE(app.output().find("Unable to open project"), std::string::npos) << "the log line stays";

  // A second instance hands its file to the one running, which tells of it in the same way.
  App second(home, {other.string()});
  ASSERT_TRUE(second.started());
  auto status = second.waitForExit(std::chrono::seconds(20));
  ASSERT_TRUE(status) << second.output();
  EXPECT_EQ(*status, 0) << second.output();
  EXPECT_TRUE(waitUntil(std::chrono::seconds(20),
                        [&] { return hasTitle("\u201Cother.kpr\u201D could not be opened"); }))
      << ::testing::PrintToString(screen_.titles()) << "\n" << app.output();
}

TEST_F(AppWindowTest, ANameTypedWithoutTheExtensionIsSavedWithIt) {
  TestBundle bundle(fs::path(KESTROM_TEST_PAGES) / "saveas/index.js");
  TempHome home;
  // Lower-case letters and digits only, so the path can be typed without the keyboard's layout.
  const fs::path folder = fs::temp_directory_path() / ("kestrom-saved-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  App app(home, {"--verbose"}, bundle.path());
  ASSERT_TRUE(app.started());
  ASSERT_TRUE(waitUntil(std::chrono::seconds(40), [&] { return fileLogHas(home, kJSInfo + "channel open"); }))
      << app.output();
  auto mainWindow = screen_.findWindow("Kestrom");
  ASSERT_TRUE(mainWindow);
  // The save dialog takes the focus once it shows.
  std::optional<Window> dialog;
  ASSERT_TRUE(waitUntil(std::chrono::seconds(20), [&] {
    dialog = screen_.activeWindow();
    return dialog && *dialog != *mainWindow && screen_.title(*dialog) != "Kestrom";
  })) << ::testing::PrintToString(screen_.titles());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the dialog settles its name field
  screen_.type({XK_Control_L, XK_a});
  screen_.typeText((folder / "MyRobot").string());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  screen_.type({XK_Return});
  EXPECT_TRUE(waitUntil(std::chrono::seconds(20), [&] { return fileLogHas(home, kJSInfo + "saveAs 200"); }))
      << readFile(home.fileLog()) << app.output();
  EXPECT_EQ(readFile(folder / "MyRobot.kpr"), "robot bytes");
  EXPECT_FALSE(fs::exists(folder / "MyRobot")) << "saved without its extension";

  screen_.close(*mainWindow);
  EXPECT_TRUE(app.waitForExit(std::chrono::seconds(15)));
  fs::remove_all(folder);
}

TEST_F(AppWindowTest, KeysReachThePageBeforeTheMenuAndTheMenuBarFollowsFullScreen) {
  TestBundle bundle(fs::path(KESTROM_TEST_PAGES) / "keys/index.js");
  TempHome home;
  App app(home, {"--verbose"}, bundle.path());
  ASSERT_TRUE(app.started());
  ASSERT_TRUE(waitUntil(std::chrono::seconds(40), [&] { return fileLogHas(home, kJSInfo + "channel open"); }))
      << app.output();
  // The page takes the keys once the splash has gone (its colour is the page's own).
  ASSERT_TRUE(waitUntil(std::chrono::seconds(10), [&] { return screen_.pixel(640, 700).near(kConnectedPage); }));

  struct Case {
    std::initializer_list<KeySym> keys;
    const char* seen;
  };
  const Case cases[] = {
      {{XK_Control_L, XK_z}, "keydown Control+z"},          {{XK_Control_L, XK_Shift_L, XK_z}, "keydown Control+Shift+z"},
      {{XK_Control_L, XK_x}, "keydown Control+x"},          {{XK_Control_L, XK_c}, "keydown Control+c"},
      {{XK_Control_L, XK_v}, "keydown Control+v"},          {{XK_Control_L, XK_a}, "keydown Control+a"},
      {{XK_Control_L, XK_o}, "keydown Control+o (handled by the page)"},
      {{XK_Control_L, XK_n}, "keydown Control+n"},
  };
  // The first chord may come before the page has the focus: typed again until the page sees it.
  bool first = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seen);
    bool seen = false;
    for (int attempt = 0; attempt < (first ? 10 : 1) && !seen; ++attempt) {
      screen_.type(c.keys);
      seen = waitUntil(std::chrono::seconds(first ? 1 : 5), [&] { return fileLogHas(home, kJSInfo + c.seen); });
    }
    EXPECT_TRUE(seen);
    first = false;
  }
  // Control+N went unhandled, so the menu's item acted; Control+O was the page's own.
  EXPECT_TRUE(waitUntil(std::chrono::seconds(5),
                        [&] { return fileLogHas(home, kJSInfo + "menu {\"item\":\"newProject\"}"); }))
      << readFile(home.fileLog());
  EXPECT_FALSE(fileLogHas(home, "openProject")) << readFile(home.fileLog());

  // F11 reaches the page, then toggles full screen; the exported menu bar is retitled in place.
  EXPECT_NE(exportedMenuBar().find("'Enter Full Screen'"), std::string::npos) << exportedMenuBar();
  screen_.type({XK_F11});
  EXPECT_TRUE(waitUntil(std::chrono::seconds(5), [&] { return fileLogHas(home, kJSInfo + "keydown f11"); }));
  EXPECT_TRUE(waitUntil(std::chrono::seconds(10),
                        [&] { return exportedMenuBar().find("'Exit Full Screen'") != std::string::npos; }))
      << exportedMenuBar();
  screen_.type({XK_F11});
  EXPECT_TRUE(waitUntil(std::chrono::seconds(10),
                        [&] { return exportedMenuBar().find("'Enter Full Screen'") != std::string::npos; }))
      << exportedMenuBar();

  auto window = screen_.findWindow("Kestrom");
  ASSERT_TRUE(window);
  screen_.close(*window);
  EXPECT_TRUE(app.waitForExit(std::chrono::seconds(15)));
}

}  // namespace

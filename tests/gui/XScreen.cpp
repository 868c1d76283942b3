// GoogleTest before Xlib, whose macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "tests/gui/XScreen.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <iterator>

#include "tests/gui/GuiSupport.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

extern char** environ;

namespace kestrom::gui_testing {

bool Color::near(const Color& other, int tolerance) const {
  return std::abs(red - other.red) <= tolerance && std::abs(green - other.green) <= tolerance &&
         std::abs(blue - other.blue) <= tolerance;
}

std::ostream& operator<<(std::ostream& out, const Color& c) {
  return out << "rgb(" << c.red << ", " << c.green << ", " << c.blue << ")";
}

std::ostream& operator<<(std::ostream& out, const Screen::Geometry& g) {
  return out << g.x << "," << g.y << " " << g.width << "x" << g.height;
}

Screen::Screen() : display_(XOpenDisplay(nullptr)) {
  // Windows come and go while the tree is walked (the window manager's, the splash's): a window
  // that vanished between two requests is skipped, never a reason for Xlib to end the process.
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
}

Screen::~Screen() {
  if (display_) XCloseDisplay(display_);
}

Color Screen::pixel(int x, int y) const {
  XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return {-1, -1, -1};
  unsigned long value = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  return {static_cast<int>((value >> 16) & 255), static_cast<int>((value >> 8) & 255), static_cast<int>(value & 255)};
}

std::optional<Window> Screen::findWindow(const std::string& title) const {
  return findBelow(DefaultRootWindow(display_), title, 3);
}

Screen::Geometry Screen::geometry(Window window) const {
  XWindowAttributes attributes{};
  XGetWindowAttributes(display_, window, &attributes);
  int x = 0, y = 0;
  Window child = 0;
  XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
  return {x, y, attributes.width, attributes.height};
}

Screen::Geometry Screen::frame(Window window) const {
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

std::optional<Screen::Geometry> Screen::workArea() const {
  auto values = cardinals(DefaultRootWindow(display_), "_NET_WORKAREA");
  if (values.size() < 4) return std::nullopt;
  return Geometry{static_cast<int>(values[0]), static_cast<int>(values[1]), static_cast<int>(values[2]),
                  static_cast<int>(values[3])};
}

bool Screen::windowManagerRuns() const {
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

void Screen::setFrame(Window window, const Geometry& frame) const {
  Geometry outer = this->frame(window);
  Geometry inner = geometry(window);
  int horizontal = outer.width - inner.width;
  int vertical = outer.height - inner.height;
  XMoveResizeWindow(display_, window, frame.x, frame.y, static_cast<unsigned>(frame.width - horizontal),
                    static_cast<unsigned>(frame.height - vertical));
  XFlush(display_);
}

void Screen::enterFullScreen(Window window) const {
  const long add = 1;
  const long fromTheApplication = 1;
  sendClientMessage(DefaultRootWindow(display_), window, "_NET_WM_STATE",
                    {add, static_cast<long>(XInternAtom(display_, "_NET_WM_STATE_FULLSCREEN", False)), 0,
                     fromTheApplication},
                    SubstructureNotifyMask | SubstructureRedirectMask);
}

void Screen::setMaximized(Window window, bool maximized) const {
  const long fromTheApplication = 1;
  sendClientMessage(DefaultRootWindow(display_), window, "_NET_WM_STATE",
                    {maximized ? 1 : 0, static_cast<long>(XInternAtom(display_, "_NET_WM_STATE_MAXIMIZED_VERT", False)),
                     static_cast<long>(XInternAtom(display_, "_NET_WM_STATE_MAXIMIZED_HORZ", False)),
                     fromTheApplication},
                    SubstructureNotifyMask | SubstructureRedirectMask);
}

bool Screen::isMaximized(Window window) const {
  auto state = atoms(window, "_NET_WM_STATE");
  auto has = [&](const char* name) {
    return std::find(state.begin(), state.end(), XInternAtom(display_, name, False)) != state.end();
  };
  return has("_NET_WM_STATE_MAXIMIZED_VERT") && has("_NET_WM_STATE_MAXIMIZED_HORZ");
}

void Screen::type(std::initializer_list<KeySym> keys) const {
  for (KeySym key : keys) XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, key), True, 0);
  for (auto it = std::rbegin(keys); it != std::rend(keys); ++it)
    XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, *it), False, 0);
  XFlush(display_);
}

void Screen::typeText(const std::string& text) const {
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

std::optional<Window> Screen::activeWindow() const {
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

std::string Screen::title(Window window) const {
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

std::vector<std::string> Screen::titles() const {
  std::vector<std::string> found;
  collectTitles(DefaultRootWindow(display_), 3, found);
  return found;
}

void Screen::close(Window window) const {
  sendClientMessage(window, window, "WM_PROTOCOLS",
                    {static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False)), CurrentTime}, NoEventMask);
}

void Screen::sendClientMessage(Window to, Window window, const char* type, std::initializer_list<long> values,
                               long mask) const {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display_, type, False);
  event.xclient.format = 32;
  std::copy(values.begin(), values.end(), event.xclient.data.l);
  XSendEvent(display_, to, False, mask, &event);
  XFlush(display_);
}

std::optional<Window> Screen::findBelow(Window parent, const std::string& title, int depth) const {
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

void Screen::collectTitles(Window parent, int depth, std::vector<std::string>& found) const {
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

std::vector<long> Screen::cardinals(Window window, const char* name) const {
  return property32(window, name, XA_CARDINAL);
}

std::vector<Atom> Screen::atoms(Window window, const char* name) const {
  auto values = property32(window, name, XA_ATOM);
  return {values.begin(), values.end()};
}

std::vector<long> Screen::property32(Window window, const char* name, Atom wanted) const {
  Atom property = XInternAtom(display_, name, False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<long> values;
  if (XGetWindowProperty(display_, window, property, 0, 64, False, wanted, &type, &format, &count, &after, &data) ==
          Success &&
      data && format == 32) {
    const auto* longs = reinterpret_cast<const long*>(data);  // format 32 arrives as longs
    values.assign(longs, longs + count);
  }
  if (data) XFree(data);
  return values;
}

Screen& sharedScreen() {
  static Screen screen;
  return screen;
}

namespace {

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

}  // namespace

}  // namespace kestrom::gui_testing

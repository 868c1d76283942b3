#pragma once
// The X server a GUI test runs in: screen pixels, the application's windows and their frames,
// keys typed through XTest, and openbox as the window manager for the whole run.

#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Xlib last: its macros (None, Bool, Status) would break the headers above.
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace kestrom::gui_testing {

struct Color {
  int red;
  int green;
  int blue;
  bool near(const Color& other, int tolerance = 3) const;
};

std::ostream& operator<<(std::ostream& out, const Color& c);

class Screen {
 public:
  Screen();
  ~Screen();
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;
  bool isOpen() const { return display_ != nullptr; }

  Color pixel(int x, int y) const;

  /// The mapped client window titled `title`, inside the window manager's frames.
  std::optional<Window> findWindow(const std::string& title) const;

  struct Geometry {
    int x, y, width, height;
    bool operator==(const Geometry&) const = default;
  };
  /// The client window's own area in root coordinates.
  Geometry geometry(Window window) const;
  /// The outer frame around the client: the root's child that holds it.
  Geometry frame(Window window) const;
  /// The root window's work area as the window manager publishes it.
  std::optional<Geometry> workArea() const;
  bool windowManagerRuns() const;

  /// Asks for the outer frame `frame`, as a user dragging the window would end up with it.
  void setFrame(Window window, const Geometry& frame) const;
  /// Asks the window manager to show the window full screen, with the message GTK sends for the
  /// window's own full-screen item.
  void enterFullScreen(Window window) const;
  /// Asks the window manager to maximise the window, or to give it its own frame back, as the
  /// title bar's button does.
  void setMaximized(Window window, bool maximized) const;
  /// Whether the window manager says the window is maximised both ways (_NET_WM_STATE).
  bool isMaximized(Window window) const;

  /// Presses `keys` in order and releases them in reverse, like a chord typed by hand.
  void type(std::initializer_list<KeySym> keys) const;
  /// Types `text` (ASCII letters, digits and "/.-_") key by key, with Shift where a capital needs it.
  void typeText(const std::string& text) const;

  /// The window the window manager has given the focus (_NET_ACTIVE_WINDOW).
  std::optional<Window> activeWindow() const;
  /// The UTF-8 title a window carries for window managers (_NET_WM_NAME); empty when none.
  std::string title(Window window) const;
  /// Every mapped client window's UTF-8 title, inside the window manager's frames.
  std::vector<std::string> titles() const;

  /// Asks the window to close, as a window manager's close button does.
  void close(Window window) const;

 private:
  std::optional<Window> findBelow(Window parent, const std::string& title, int depth) const;
  void collectTitles(Window parent, int depth, std::vector<std::string>& found) const;
  std::vector<long> cardinals(Window window, const char* name) const;
  std::vector<Atom> atoms(Window window, const char* name) const;
  /// The values of a 32-bit property of `type` on `window` (empty when it has none).
  std::vector<long> property32(Window window, const char* name, Atom type) const;
  /// Sends `to` the client message `type` about `window` with up to five 32-bit `values`.
  void sendClientMessage(Window to, Window window, const char* type, std::initializer_list<long> values,
                         long mask) const;

  Display* display_;
};

std::ostream& operator<<(std::ostream& out, const Screen::Geometry& g);

// One connection for the whole run: an X server resets when its last client leaves, and a test
// that connects during the reset finds no server.
Screen& sharedScreen();

}  // namespace kestrom::gui_testing

#include "app/GtkWindowGeometry.h"

#include <gtk/gtk.h>
#if KESTROM_HAVE_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gdk/x11/gdkx.h>
#endif

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/log/GuardedCallback.h"

namespace kestrom::app {

namespace {

Rect toRect(const GdkRectangle& r) {
  return {static_cast<double>(r.x), static_cast<double>(r.y), static_cast<double>(r.width),
          static_cast<double>(r.height)};
}

Rect workArea(GdkMonitor* monitor) {
  GdkRectangle area{};
#if KESTROM_HAVE_X11
  if (GDK_IS_X11_MONITOR(monitor)) {
    gdk_x11_monitor_get_workarea(monitor, &area);
    return toRect(area);
  }
#endif
  gdk_monitor_get_geometry(monitor, &area);
  return toRect(area);
}

int contentSide(double frameSide, double decorations) {
  return std::max(1, static_cast<int>(std::lround(frameSide - decorations)));
}

#if KESTROM_HAVE_X11
// The X11 window of a realized GTK window on an X11 display; 0 otherwise.
Window xWindow(GtkWindow* window) {
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
  if (!surface || !GDK_IS_X11_SURFACE(surface)) return 0;
  return gdk_x11_surface_get_xid(surface);
}

Display* xDisplay(GtkWindow* window) {
  return gdk_x11_display_get_xdisplay(gtk_widget_get_display(GTK_WIDGET(window)));
}

int scaleOf(GtkWindow* window) { return gdk_surface_get_scale_factor(gtk_native_get_surface(GTK_NATIVE(window))); }

// True when a window manager runs (it names itself on the root window).
bool windowManagerRuns(Display* display) {
  Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", True);
  if (check == 0) return false;
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  bool found = XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, XA_WINDOW, &type, &format,
                                  &count, &after, &data) == Success &&
               data && count == 1;
  if (data) XFree(data);
  return found;
}

// The decorations the window manager put around `xid`, in device pixels, once it has said so.
std::optional<FrameExtents> reportedExtents(Display* display, Window xid) {
  Atom property = XInternAtom(display, "_NET_FRAME_EXTENTS", True);
  if (property == 0) return std::nullopt;
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<FrameExtents> extents;
  if (XGetWindowProperty(display, xid, property, 0, 4, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
          Success &&
      data && format == 32 && count == 4) {
    const auto* sides = reinterpret_cast<const long*>(data);  // format 32 arrives as longs
    extents = FrameExtents{static_cast<double>(sides[0]), static_cast<double>(sides[1]),
                           static_cast<double>(sides[2]), static_cast<double>(sides[3])};
  }
  if (data) XFree(data);
  return extents;
}

// The window manager's frame around `xid`: the root's child that holds it; 0 when `xid` is a
// child of the root itself (no window manager, or one that does not reparent).
Window frameWindow(Display* display, Window xid) {
  Window top = xid;
  for (int depth = 0; depth < 16; ++depth) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, top, &root, &parent, &children, &count)) return 0;
    if (children) XFree(children);
    if (parent == root || parent == 0) break;
    top = parent;
  }
  return top == xid ? 0 : top;
}

// The outer frame of `xid` as the window manager's frame window has it, in device pixels, when that
// window is exactly the decorations around the client (the client sits at the decorations' offset
// in it); empty for frame windows with invisible margins, or none.
//
// A window manager moves and resizes its frame and the client in separate steps: just after the
// user has resized the window, the frame already has the new size while the client still has the
// old one. Read from the client, the frame would then come out at the old size in the new place.
std::optional<Rect> decoratedFrame(Display* display, Window xid, const FrameExtents& sides) {
  Window frame = frameWindow(display, xid);
  if (!frame) return std::nullopt;
  int offsetX = 0;
  int offsetY = 0;
  Window child = 0;
  XWindowAttributes attributes{};
  if (!XTranslateCoordinates(display, xid, frame, 0, 0, &offsetX, &offsetY, &child) ||
      !XGetWindowAttributes(display, frame, &attributes)) {
    return std::nullopt;
  }
  int border = attributes.border_width;
  if (offsetX + border != std::lround(sides.left) || offsetY + border != std::lround(sides.top)) return std::nullopt;
  return Rect{static_cast<double>(attributes.x), static_cast<double>(attributes.y),
              static_cast<double>(attributes.width + 2 * border), static_cast<double>(attributes.height + 2 * border)};
}

// The outer frame of `xid` in device pixels: the window manager's frame window when that is just the
// decorations, else the window itself and `sides` around it. Empty when the window is gone.
std::optional<Rect> outerFrame(Display* display, Window xid, const FrameExtents& sides) {
  if (auto frame = decoratedFrame(display, xid, sides)) return frame;
  XWindowAttributes attributes{};
  int x = 0;
  int y = 0;
  Window child = 0;
  if (!XGetWindowAttributes(display, xid, &attributes) ||
      !XTranslateCoordinates(display, xid, DefaultRootWindow(display), 0, 0, &x, &y, &child)) {
    return std::nullopt;
  }
  return Rect{x - sides.left, y - sides.top, attributes.width + sides.left + sides.right,
              attributes.height + sides.top + sides.bottom};
}

bool isViewable(Display* display, Window xid) {
  XWindowAttributes attributes{};
  return XGetWindowAttributes(display, xid, &attributes) && attributes.map_state == IsViewable;
}

// Waits, on the main loop, until the window manager has framed the window, then sets content size
// and position so that the outer frame is `frame`. A window manager places a window's frame at
// the position the window asks for (north-west gravity), so the frame's own corner is asked for.
// Then waits until the frame is there (the window manager takes the request on its own time) and
// calls `placed`.
struct FramePlacement {
  static constexpr guint kStepMilliseconds = 20;
  static constexpr int kMaximumSteps = 150;  // 3 s for each wait; then it goes on with what it has

  GtkWindow* window;  // referenced
  Rect frame;
  std::function<void()> placed;
  bool moved = false;
  int steps = 0;

  static gboolean step(gpointer data) {
    auto* placement = static_cast<FramePlacement*>(data);
    GtkWindow* window = placement->window;
    Window xid = xWindow(window);
    if (!xid || !gtk_widget_get_realized(GTK_WIDGET(window))) return G_SOURCE_REMOVE;
    return placement->moved ? placement->waitForFrame(xid) : placement->move(xid);
  }

  gboolean move(Window xid) {
    Display* display = xDisplay(window);
    bool managed = windowManagerRuns(display);
    auto extents = reportedExtents(display, xid);
    bool ready = isViewable(display, xid) && (!managed || extents);
    if (!ready && ++steps < kMaximumSteps) return G_SOURCE_CONTINUE;

    int scale = scaleOf(window);
    FrameExtents sides = extents.value_or(FrameExtents{});
    int width = contentSide(frame.width * scale, sides.left + sides.right);
    int height = contentSide(frame.height * scale, sides.top + sides.bottom);
    XMoveResizeWindow(display, xid, static_cast<int>(std::lround(frame.x * scale)),
                      static_cast<int>(std::lround(frame.y * scale)), static_cast<unsigned>(width),
                      static_cast<unsigned>(height));
    XFlush(display);
    // GTK takes the new size from the configure event, as it does for a resize by the user.
    // Setting the default size here as well would queue a resize of GTK's own that could land
    // after a user's first resize and undo it.
    moved = true;
    steps = 0;
    return G_SOURCE_CONTINUE;
  }

  gboolean waitForFrame(Window xid) {
    Display* display = xDisplay(window);
    GdkDisplay* gdkDisplay = gtk_widget_get_display(GTK_WIDGET(window));
    gdk_x11_display_error_trap_push(gdkDisplay);
    auto current = outerFrame(display, xid, reportedExtents(display, xid).value_or(FrameExtents{}));
    gdk_x11_display_error_trap_pop_ignored(gdkDisplay);
    int scale = scaleOf(window);
    auto near = [](double a, double b) { return std::abs(a - b) <= 1; };
    bool there = current && near(current->x, frame.x * scale) && near(current->y, frame.y * scale) &&
                 near(current->width, frame.width * scale) && near(current->height, frame.height * scale);
    if (!there && ++steps < kMaximumSteps) return G_SOURCE_CONTINUE;
    reportPlaced();
    return G_SOURCE_REMOVE;
  }

  void reportPlaced() {
    if (auto report = std::exchange(placed, nullptr)) log::guardedCallback("window placed", report);
  }

  static void destroy(gpointer data) {
    auto* placement = static_cast<FramePlacement*>(data);
    placement->reportPlaced();  // a window gone before it was placed ends the placement too
    g_object_unref(placement->window);
    delete placement;
  }

  static void start(GtkWindow* window, const Rect& frame, std::function<void()> placed) {
    auto* placement = new FramePlacement{GTK_WINDOW(g_object_ref(window)), frame, std::move(placed)};
    g_timeout_add_full(G_PRIORITY_DEFAULT, kStepMilliseconds, step, placement, destroy);
  }
};
#endif

}  // namespace

MonitorLayout measureMonitors(GtkWindow* window) {
  MonitorLayout layout;
  GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
  GListModel* monitors = gdk_display_get_monitors(display);
  for (guint i = 0; i < g_list_model_get_n_items(monitors); ++i) {
    auto* monitor = GDK_MONITOR(g_list_model_get_item(monitors, i));
    layout.all.push_back(workArea(monitor));
    g_object_unref(monitor);
  }
#if KESTROM_HAVE_X11
  if (GDK_IS_X11_DISPLAY(display)) {
    if (GdkMonitor* primary = gdk_x11_display_get_primary_monitor(display)) layout.main = workArea(primary);
  }
#endif
  if (!layout.main && !layout.all.empty()) layout.main = layout.all.front();
  return layout;
}

SavedWindowFrame currentWindowFrame(GtkWindow* window) {
  SavedWindowFrame saved;
  int width = 0;
  int height = 0;
  gtk_window_get_default_size(window, &width, &height);
  if (width <= 0 || height <= 0) {
    width = gtk_widget_get_width(GTK_WIDGET(window));
    height = gtk_widget_get_height(GTK_WIDGET(window));
  }
  saved.frame.width = width;
  saved.frame.height = height;
  saved.maximized = gtk_window_is_maximized(window);
#if KESTROM_HAVE_X11
  if (Window xid = xWindow(window)) {
    Display* display = xDisplay(window);
    GdkDisplay* gdkDisplay = gtk_widget_get_display(GTK_WIDGET(window));
    int scale = scaleOf(window);
    // The window manager's windows may go away at any time: their errors are not the application's.
    gdk_x11_display_error_trap_push(gdkDisplay);
    FrameExtents sides = reportedExtents(display, xid).value_or(FrameExtents{});
    std::optional<Rect> frame = outerFrame(display, xid, sides);
    if (!frame) {
      frame = Rect{-sides.left, -sides.top, width * scale + sides.left + sides.right,
                   height * scale + sides.top + sides.bottom};
    }
    gdk_x11_display_error_trap_pop_ignored(gdkDisplay);
    saved.frame = Rect{frame->x / scale, frame->y / scale, frame->width / scale, frame->height / scale};
    saved.frameExtents = FrameExtents{sides.left / scale, sides.right / scale, sides.top / scale, sides.bottom / scale};
  }
#endif
  return saved;
}

namespace {

// What watchWindowFrame keeps for one window; freed with the window.
struct FrameWatch {
  static constexpr const char* kKey = "kestrom-frame-watch";

  GtkWindow* window;  // not referenced: the watch goes with it
  std::function<void()> changed;
#if KESTROM_HAVE_X11
  Window frame = 0;  // the window manager's frame whose moves are followed, once known

  // The window manager's frame may be new (the window was mapped, or the window manager
  // restarted): follow its moves and size changes too.
  void followFrame(Display* display, Window xid) {
    Window current = frameWindow(display, xid);
    if (current == frame) return;
    frame = current;
    if (frame) XSelectInput(display, frame, StructureNotifyMask);
  }

  // Connected with the window as its object, so the connection ends with the window.
  static gboolean onXEvent(GdkX11Display* gdkDisplay, gpointer event, gpointer window) {
    auto* watch = static_cast<FrameWatch*>(g_object_get_data(G_OBJECT(window), kKey));
    if (!watch) return FALSE;
    const auto* x = static_cast<const XEvent*>(event);
    Window xid = xWindow(watch->window);
    if (!xid) return FALSE;
    if (x->type == ReparentNotify && x->xreparent.window == xid) {
      gdk_x11_display_error_trap_push(GDK_DISPLAY(gdkDisplay));
      watch->followFrame(x->xreparent.display, xid);
      gdk_x11_display_error_trap_pop_ignored(GDK_DISPLAY(gdkDisplay));
    } else if (x->type == ConfigureNotify &&
               (x->xconfigure.window == xid || (watch->frame && x->xconfigure.window == watch->frame))) {
      watch->report();
    }
    return FALSE;  // GDK handles every event as before
  }
#endif

  static void onSurfaceSize(GObject*, GParamSpec*, gpointer data) { static_cast<FrameWatch*>(data)->report(); }

  void report() {
    if (changed) log::guardedCallback("window frame report", changed);
  }
};

}  // namespace

void watchWindowFrame(GtkWindow* window, std::function<void()> changed) {
  auto* watch = new FrameWatch{window, std::move(changed)};
  g_object_set_data_full(G_OBJECT(window), FrameWatch::kKey, watch,
                         [](gpointer data) { delete static_cast<FrameWatch*>(data); });
  GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
#if KESTROM_HAVE_X11
  if (GDK_IS_X11_DISPLAY(display)) {
    g_signal_connect_object(display, "xevent", G_CALLBACK(FrameWatch::onXEvent), window, GConnectFlags(0));
    return;
  }
#endif
  (void)display;
  g_signal_connect(window, "realize", G_CALLBACK(+[](GtkWidget* widget, gpointer data) {
                     GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(widget));
                     g_signal_connect(surface, "notify::width", G_CALLBACK(FrameWatch::onSurfaceSize), data);
                     g_signal_connect(surface, "notify::height", G_CALLBACK(FrameWatch::onSurfaceSize), data);
                   }),
                   watch);
}

void applyWindowFrame(GtkWindow* window, const Rect& frame, const FrameExtents& extents,
                      std::function<void()> placed) {
  gtk_window_set_default_size(window, contentSide(frame.width, extents.left + extents.right),
                              contentSide(frame.height, extents.top + extents.bottom));
#if KESTROM_HAVE_X11
  if (GDK_IS_X11_DISPLAY(gtk_widget_get_display(GTK_WIDGET(window)))) {
    if (gtk_widget_get_mapped(GTK_WIDGET(window))) {
      FramePlacement::start(window, frame, std::move(placed));
      return;
    }
    // Window managers place a window as it maps; the frame is set after that, once.
    struct Pending {
      Rect frame;
      std::function<void()> placed;
    };
    g_signal_connect_data(
        window, "map",
        G_CALLBACK(+[](GtkWidget* widget, gpointer data) {
          auto* pending = static_cast<Pending*>(data);
          FramePlacement::start(GTK_WINDOW(widget), pending->frame, std::move(pending->placed));
          g_signal_handlers_disconnect_by_data(widget, data);
        }),
        new Pending{frame, std::move(placed)}, [](gpointer data, GClosure*) { delete static_cast<Pending*>(data); },
        G_CONNECT_AFTER);
    return;
  }
#endif
  if (placed) log::guardedCallback("window placed", placed);
}

namespace {

// What watchWindowState keeps for one window; freed with the window.
struct StateWatch {
  static constexpr const char* kKey = "kestrom-state-watch";
  std::function<void(bool, bool)> changed;

  // Connected with the window as its object, so the connection ends with the window.
  static void onState(GObject* surface, GParamSpec*, gpointer window) {
    auto* watch = static_cast<StateWatch*>(g_object_get_data(G_OBJECT(window), kKey));
    if (!watch) return;
    auto state = gdk_toplevel_get_state(GDK_TOPLEVEL(surface));
    log::guardedCallback("window state report", [&] {
      watch->changed((state & GDK_TOPLEVEL_STATE_MAXIMIZED) != 0, (state & GDK_TOPLEVEL_STATE_FULLSCREEN) != 0);
    });
  }
};

}  // namespace

void watchWindowState(GtkWindow* window, std::function<void(bool maximized, bool fullScreen)> changed) {
  auto* watch = new StateWatch{std::move(changed)};
  g_object_set_data_full(G_OBJECT(window), StateWatch::kKey, watch,
                         [](gpointer data) { delete static_cast<StateWatch*>(data); });
  g_signal_connect(window, "realize", G_CALLBACK(+[](GtkWidget* widget, gpointer) {
                     GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(widget));
                     g_signal_connect_object(surface, "notify::state", G_CALLBACK(StateWatch::onState), widget,
                                             GConnectFlags(0));
                   }),
                   nullptr);
}

}  // namespace kestrom::app

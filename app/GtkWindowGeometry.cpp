#include "app/GtkWindowGeometry.h"

#include <gtk/gtk.h>
#if KESTROM_HAVE_X11
#include <X11/Xlib.h>
#include <gdk/x11/gdkx.h>
#endif

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

#if KESTROM_HAVE_X11
// The X11 window of a realized GTK window on an X11 display; 0 otherwise.
Window xWindow(GtkWindow* window) {
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
  if (!surface || !GDK_IS_X11_SURFACE(surface)) return 0;
  return gdk_x11_surface_get_xid(surface);
}

void moveNow(GtkWindow* window, double x, double y) {
  Window xid = xWindow(window);
  if (!xid) return;
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
  int scale = gdk_surface_get_scale_factor(surface);
  Display* display = gdk_x11_display_get_xdisplay(gtk_widget_get_display(GTK_WIDGET(window)));
  XMoveWindow(display, xid, static_cast<int>(x * scale), static_cast<int>(y * scale));
  XFlush(display);
}
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
    Display* display = gdk_x11_display_get_xdisplay(gtk_widget_get_display(GTK_WIDGET(window)));
    int x = 0;
    int y = 0;
    Window child = 0;
    XTranslateCoordinates(display, xid, DefaultRootWindow(display), 0, 0, &x, &y, &child);
    int scale = gdk_surface_get_scale_factor(gtk_native_get_surface(GTK_NATIVE(window)));
    saved.frame.x = static_cast<double>(x) / scale;
    saved.frame.y = static_cast<double>(y) / scale;
  }
#endif
  return saved;
}

void applyWindowFrame(GtkWindow* window, const Rect& frame) {
  gtk_window_set_default_size(window, static_cast<int>(frame.width), static_cast<int>(frame.height));
#if KESTROM_HAVE_X11
  if (gtk_widget_get_mapped(GTK_WIDGET(window))) {
    moveNow(window, frame.x, frame.y);
    return;
  }
  // Window managers place a window as it maps; the move goes after that, once.
  struct Target {
    double x;
    double y;
  };
  g_signal_connect_data(
      window, "map",
      G_CALLBACK(+[](GtkWidget* widget, gpointer data) {
        auto* target = static_cast<Target*>(data);
        moveNow(GTK_WINDOW(widget), target->x, target->y);
        g_signal_handlers_disconnect_by_data(widget, data);
      }),
      new Target{frame.x, frame.y}, [](gpointer data, GClosure*) { delete static_cast<Target*>(data); },
      G_CONNECT_AFTER);
#endif
}

}  // namespace kestrom::app

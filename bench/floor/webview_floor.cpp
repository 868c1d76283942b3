// The platform's floor for the desktop application's start-up: the least a GTK 4 + WebKitGTK 6.0
// program does to show a local page that opens a WebSocket. One window, one web view, no menus,
// no scripts of ours, the size of the monitor. Prints "<time> Connection opened" (the stamp format of the host's log) when
// the page has its WebSocket open, so bench/app_startup.sh measures both programs alike.
//
//   webview_floor URL

#include <gtk/gtk.h>
#include <sys/time.h>
#include <webkit/webkit.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

void printStamped(const char* what) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::printf("%s.%03ld %s\n", stamp, static_cast<long>(now.tv_usec / 1000), what);
  std::fflush(stdout);
}

void onTitle(WebKitWebView* view, GParamSpec*, gpointer) {
  const char* title = webkit_web_view_get_title(view);
  if (title && std::strcmp(title, "connected") == 0) printStamped("Connection opened");
}

void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer) {
  if (event != WEBKIT_LOAD_FINISHED) return;
  char line[512];
  std::snprintf(line, sizeof line, "Navigated to url: %s", webkit_web_view_get_uri(view));
  printStamped(line);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s URL\n", argv[0]);
    return 2;
  }
  gtk_init();
  GtkWidget* window = gtk_window_new();
  // The size the application takes on a first launch: the whole monitor (no panels under Xvfb).
  GListModel* monitors = gdk_display_get_monitors(gdk_display_get_default());
  GdkRectangle area{0, 0, 1024, 768};
  if (auto* monitor = GDK_MONITOR(g_list_model_get_item(monitors, 0))) {
    gdk_monitor_get_geometry(monitor, &area);
    g_object_unref(monitor);
  }
  gtk_window_set_default_size(GTK_WINDOW(window), area.width, area.height);
  GtkWidget* view = webkit_web_view_new();
  g_signal_connect(view, "notify::title", G_CALLBACK(onTitle), nullptr);
  g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), nullptr);
  gtk_window_set_child(GTK_WINDOW(window), view);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
  gtk_window_present(GTK_WINDOW(window));

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_signal_connect_swapped(window, "destroy", G_CALLBACK(g_main_loop_quit), loop);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  return 0;
}

#include "platform/shell/GtkLaunchView.h"

#include <gtk/gtk.h>

namespace kestrom::shell {

namespace {

void paint(GtkDrawingArea*, cairo_t* cr, int, int, gpointer data) {
  const auto* color = static_cast<const LaunchColor*>(data);
  cairo_set_source_rgba(cr, color->red, color->green, color->blue, 1.0);
  cairo_paint(cr);
}

}  // namespace

GtkWidget* makeLaunchView(LaunchColor color) {
  GtkWidget* view = gtk_drawing_area_new();
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(view), paint, new LaunchColor(color),
                                 [](gpointer data) { delete static_cast<LaunchColor*>(data); });
  gtk_widget_set_hexpand(view, TRUE);
  gtk_widget_set_vexpand(view, TRUE);
  gtk_widget_set_name(view, "launch-view");
  return view;
}

GtkWidget* makeLoadingView(LaunchColor color) {
  GtkWidget* overlay = gtk_overlay_new();
  gtk_overlay_set_child(GTK_OVERLAY(overlay), makeLaunchView(color));
  GtkWidget* spinner = gtk_spinner_new();
  gtk_widget_set_halign(spinner, GTK_ALIGN_CENTER);
  gtk_widget_set_valign(spinner, GTK_ALIGN_CENTER);
  gtk_widget_set_size_request(spinner, 32, 32);
  gtk_spinner_start(GTK_SPINNER(spinner));
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), spinner);
  gtk_widget_set_name(overlay, "loading-view");
  return overlay;
}

}  // namespace kestrom::shell

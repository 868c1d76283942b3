#include "app/GtkMainMenu.h"

#include <gtk/gtk.h>

#include <string_view>

namespace kestrom::app {

namespace {

constexpr const char* kControllerName = "kestrom-menu-shortcuts";

GtkShortcutController* shortcutController(GtkWindow* window) {
  GListModel* controllers = gtk_widget_observe_controllers(GTK_WIDGET(window));
  GtkShortcutController* found = nullptr;
  for (guint i = 0; i < g_list_model_get_n_items(controllers) && !found; ++i) {
    auto* controller = GTK_EVENT_CONTROLLER(g_list_model_get_item(controllers, i));
    const char* name = gtk_event_controller_get_name(controller);
    if (GTK_IS_SHORTCUT_CONTROLLER(controller) && name && std::string_view(name) == kControllerName) {
      found = GTK_SHORTCUT_CONTROLLER(controller);
    }
    g_object_unref(controller);
  }
  g_object_unref(controllers);
  if (found) return found;

  auto* controller = GTK_SHORTCUT_CONTROLLER(gtk_shortcut_controller_new());
  gtk_event_controller_set_name(GTK_EVENT_CONTROLLER(controller), kControllerName);
  gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(controller), GTK_PHASE_BUBBLE);
  gtk_widget_add_controller(GTK_WIDGET(window), GTK_EVENT_CONTROLLER(controller));
  return controller;
}

}  // namespace

void installMenuShortcuts(GtkWindow* window, const MainMenu& menu) {
  GtkShortcutController* controller = shortcutController(window);
  auto* shortcuts = G_LIST_MODEL(controller);
  while (g_list_model_get_n_items(shortcuts) > 0) {
    auto* shortcut = GTK_SHORTCUT(g_list_model_get_item(shortcuts, 0));
    gtk_shortcut_controller_remove_shortcut(controller, shortcut);
    g_object_unref(shortcut);
  }
  for (const auto& submenu : menu.submenus) {
    for (const auto& item : submenu.items) {
      if (item.isSeparator || item.accelerator.empty()) continue;
      GtkShortcutTrigger* trigger = gtk_shortcut_trigger_parse_string(item.accelerator.c_str());
      if (!trigger) continue;
      // The named action is looked up from the window: "win." and "app." both resolve there.
      gtk_shortcut_controller_add_shortcut(
          controller, gtk_shortcut_new(trigger, gtk_named_action_new(item.detailedAction().c_str())));
    }
  }
}

}  // namespace kestrom::app

#include "app/GtkMainMenu.h"

#include <gtk/gtk.h>

namespace kestrom::app {

GMenuModel* makeMenuBarModel(const MainMenu& menu) {
  GMenu* bar = g_menu_new();
  for (const auto& submenu : menu.submenus) {
    GMenu* items = g_menu_new();
    GMenu* section = g_menu_new();
    auto closeSection = [&] {
      if (g_menu_model_get_n_items(G_MENU_MODEL(section)) > 0) g_menu_append_section(items, nullptr, G_MENU_MODEL(section));
      g_object_unref(section);
      section = g_menu_new();
    };
    for (const auto& item : submenu.items) {
      if (item.isSeparator) {
        closeSection();
        continue;
      }
      GMenuItem* entry = g_menu_item_new(item.title.c_str(), item.detailedAction().c_str());
      if (!item.accelerator.empty()) g_menu_item_set_attribute(entry, "accel", "s", item.accelerator.c_str());
      g_menu_append_item(section, entry);
      g_object_unref(entry);
    }
    closeSection();
    g_object_unref(section);
    g_menu_append_submenu(bar, submenu.title.c_str(), G_MENU_MODEL(items));
    g_object_unref(items);
  }
  return G_MENU_MODEL(bar);
}

void installAccelerators(GtkApplication* application, const MainMenu& menu) {
  for (const auto& submenu : menu.submenus) {
    for (const auto& item : submenu.items) {
      if (item.isSeparator) continue;
      const char* none[] = {nullptr};
      const char* one[] = {item.accelerator.c_str(), nullptr};
      gtk_application_set_accels_for_action(application, item.detailedAction().c_str(),
                                            item.accelerator.empty() ? none : one);
    }
  }
}

}  // namespace kestrom::app

#include "app/MenuBarModel.h"

#include <gio/gio.h>

#include <optional>

namespace kestrom::app {

namespace {

using Section = std::vector<const MenuItem*>;

std::vector<Section> sectionsOf(const app::Submenu& submenu) {
  std::vector<Section> sections(1);
  for (const auto& item : submenu.items) {
    if (item.isSeparator) {
      if (!sections.back().empty()) sections.emplace_back();
    } else {
      sections.back().push_back(&item);
    }
  }
  if (sections.back().empty()) sections.pop_back();
  return sections;
}

GMenuItem* makeItem(const MenuItem& item) {
  GMenuItem* entry = g_menu_item_new(item.title.c_str(), item.detailedAction().c_str());
  // Shown beside the item only: the window's shortcut controller acts on the keys.
  if (!item.accelerator.empty()) g_menu_item_set_attribute(entry, "accel", "s", item.accelerator.c_str());
  return entry;
}

std::optional<std::string> stringAttribute(GMenuModel* model, int index, const char* name) {
  gchar* value = nullptr;
  if (!g_menu_model_get_item_attribute(model, index, name, "s", &value)) return std::nullopt;
  std::string text = value;
  g_free(value);
  return text;
}

bool matches(GMenuModel* section, int index, const MenuItem& item) {
  auto accel = stringAttribute(section, index, "accel");
  return stringAttribute(section, index, G_MENU_ATTRIBUTE_LABEL) == item.title &&
         stringAttribute(section, index, G_MENU_ATTRIBUTE_ACTION) == item.detailedAction() &&
         accel.value_or("") == item.accelerator;
}

}  // namespace

struct MenuBarModel::Submenu {
  GMenu* items = nullptr;          // the submenu: one section per separated group
  std::vector<GMenu*> sections;    // owned by `items`
  std::string title;
};

MenuBarModel::MenuBarModel(const MainMenu& menu) : bar_(g_menu_new()) {
  for (const auto& from : menu.submenus) append(from);
}

MenuBarModel::~MenuBarModel() {
  for (auto& submenu : submenus_) g_object_unref(submenu.items);
  g_object_unref(bar_);
}

GMenuModel* MenuBarModel::model() const { return G_MENU_MODEL(bar_); }

void MenuBarModel::append(const app::Submenu& from) {
  Submenu submenu;
  submenu.items = g_menu_new();
  submenu.title = from.title;
  fill(submenu, from);
  g_menu_append_submenu(bar_, from.title.c_str(), G_MENU_MODEL(submenu.items));
  submenus_.push_back(std::move(submenu));
}

void MenuBarModel::fill(Submenu& submenu, const app::Submenu& from) {
  g_menu_remove_all(submenu.items);
  submenu.sections.clear();
  for (const auto& section : sectionsOf(from)) {
    GMenu* group = g_menu_new();
    for (const MenuItem* item : section) {
      GMenuItem* entry = makeItem(*item);
      g_menu_append_item(group, entry);
      g_object_unref(entry);
    }
    g_menu_append_section(submenu.items, nullptr, G_MENU_MODEL(group));
    submenu.sections.push_back(group);
    g_object_unref(group);  // the submenu keeps it
  }
}

void MenuBarModel::update(const MainMenu& menu) {
  if (menu.submenus.size() != submenus_.size()) {
    // Another shape altogether: start the bar over, still as the same model object.
    for (auto& submenu : submenus_) g_object_unref(submenu.items);
    submenus_.clear();
    g_menu_remove_all(bar_);
    for (const auto& from : menu.submenus) append(from);
    return;
  }
  for (std::size_t i = 0; i < submenus_.size(); ++i) {
    Submenu& submenu = submenus_[i];
    const app::Submenu& from = menu.submenus[i];
    if (submenu.title != from.title) {
      g_menu_remove(bar_, static_cast<int>(i));
      g_menu_insert_submenu(bar_, static_cast<int>(i), from.title.c_str(), G_MENU_MODEL(submenu.items));
      submenu.title = from.title;
    }
    auto sections = sectionsOf(from);
    bool sameShape = sections.size() == submenu.sections.size();
    for (std::size_t s = 0; sameShape && s < sections.size(); ++s) {
      sameShape = static_cast<int>(sections[s].size()) == g_menu_model_get_n_items(G_MENU_MODEL(submenu.sections[s]));
    }
    if (!sameShape) {
      fill(submenu, from);
      continue;
    }
    for (std::size_t s = 0; s < sections.size(); ++s) {
      GMenu* group = submenu.sections[s];
      for (std::size_t k = 0; k < sections[s].size(); ++k) {
        const MenuItem& item = *sections[s][k];
        if (matches(G_MENU_MODEL(group), static_cast<int>(k), item)) continue;
        GMenuItem* entry = makeItem(item);
        g_menu_remove(group, static_cast<int>(k));
        g_menu_insert_item(group, static_cast<int>(k), entry);
        g_object_unref(entry);
      }
    }
  }
}

}  // namespace kestrom::app

#include "app/MainMenu.h"

#include <array>
#include <utility>

namespace kestrom::app {

namespace {

MenuItem item(const L10n& l10n, std::string key, std::string action, std::string accelerator, MenuTarget target,
              int tag = 0) {
  MenuItem made;
  made.title = l10n.tr(key);
  made.titleKey = std::move(key);
  made.action = std::move(action);
  made.accelerator = std::move(accelerator);
  made.target = target;
  made.tag = tag;
  return made;
}

MenuItem separator() {
  MenuItem made;
  made.isSeparator = true;
  return made;
}

Submenu submenu(std::string fixedTitle, std::string title, std::vector<MenuItem> items) {
  return Submenu{std::move(fixedTitle), std::move(title), std::move(items)};
}

}  // namespace

std::string MenuItem::detailedAction() const {
  return (target == MenuTarget::window ? "win." : "app.") + action;
}

const MenuItem* MainMenu::find(std::string_view action) const {
  for (const auto& menu : submenus) {
    for (const auto& entry : menu.items) {
      if (!entry.isSeparator && entry.action == action) return &entry;
    }
  }
  return nullptr;
}

// The command key of the original layout is Control here; full screen takes F11, the key every
// Linux desktop uses for it (Control+F belongs to the page's own search). "Hide" minimises the
// window. "Hide Others" and "Show All" are left out: a Linux desktop offers an application no way
// to hide the other applications' windows or to bring them back.
MainMenu buildMainMenu(const L10n& l10n, const std::string& applicationTitle, bool isFullscreen) {
  using T = MenuTarget;
  const auto& tr = l10n;
  MainMenu menu;

  auto about = item(tr, "menu.mac_app.about", "orderFrontStandardAboutPanel", "", T::application);
  about.title = replacingName(about.title, applicationTitle);
  menu.submenus.push_back(submenu("Application", applicationTitle,
                                  {about, separator(),
                                   item(tr, "menu.mac_app.preferences", "openPreferences", "<Control>comma", T::delegate),
                                   separator(), item(tr, "menu.mac_app.hide", "hide", "<Control>h", T::application),
                                   separator(), item(tr, "menu.mac_app.quit", "terminate", "<Control>q", T::application)}));

  menu.submenus.push_back(submenu(
      "File", tr.tr("menu.file.title"),
      {item(tr, "menu.file.new_project", "newDocument", "<Control>n", T::delegate),
       item(tr, "menu.file.open", "openDocument", "<Control>o", T::delegate),
       item(tr, "menu.file.save_as", "saveAs", "<Control><Alt>s", T::delegate, MainMenu::kProjectRequiredTag),
       item(tr, "menu.file.move_to", "moveTo", "", T::delegate, MainMenu::kProjectRequiredTag)}));

  menu.submenus.push_back(submenu("Edit", tr.tr("menu.edit.title"),
                                  {item(tr, "menu.edit.undo", "undo", "<Control>z", T::window),
                                   item(tr, "menu.edit.redo", "redo", "<Control><Shift>z", T::window), separator(),
                                   item(tr, "menu.edit.cut", "cut", "<Control>x", T::window),
                                   item(tr, "menu.edit.copy", "copy", "<Control>c", T::window),
                                   item(tr, "menu.edit.paste", "paste", "<Control>v", T::window),
                                   item(tr, "menu.edit.select_all", "selectAll", "<Control>a", T::window)}));

  menu.submenus.push_back(submenu(
      "View", tr.tr("menu.view.title"),
      {item(tr, isFullscreen ? "menu.view.exit_fullscreen" : "menu.view.fullscreen", "toggleFullscreen", "F11",
            T::window)}));

  menu.submenus.push_back(submenu("Window", tr.tr("menu.window.title"),
                                  {item(tr, "menu.window.minimize", "performMiniaturize", "<Control>m", T::window),
                                   item(tr, "menu.window.zoom", "performZoom", "", T::window), separator(),
                                   item(tr, "menu.window.bring_all_to_front", "arrangeInFront", "", T::application)}));

  auto help = item(tr, "menu.help.item", "openHelp", "", T::delegate);
  help.title = replacingName(help.title, applicationTitle);
  menu.submenus.push_back(submenu("Help", tr.tr("menu.help.title"), {help}));
  return menu;
}

bool isMenuItemEnabled(int tag, bool isProjectAvailable) {
  return tag != MainMenu::kProjectRequiredTag || isProjectAvailable;
}

std::optional<MenuBarItem> menuBarItemForAction(std::string_view action) {
  static constexpr std::array<std::pair<std::string_view, MenuBarItem>, 6> kItems{{
      {"newDocument", MenuBarItem::newProject},
      {"openDocument", MenuBarItem::openProject},
      {"saveAs", MenuBarItem::saveAs},
      {"moveTo", MenuBarItem::moveTo},
      {"openPreferences", MenuBarItem::settings},
      {"openHelp", MenuBarItem::help},
  }};
  for (const auto& [name, value] : kItems) {
    if (name == action) return value;
  }
  return std::nullopt;
}

}  // namespace kestrom::app

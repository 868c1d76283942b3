#pragma once
// The menu bar as plain data: six submenus with their localised titles, items, actions, key
// accelerators and tags, built anew on every rebuild (launch, full-screen toggle, language
// change). The GTK side turns it into a GMenuModel (GtkMainMenu); everything here runs without a
// display.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestromKit/model/NotificationRecords.h"
#include "app/L10n.h"

namespace kestrom::app {

/// Who handles an item's action: the application, the delegate (the kit's menu calls), or the
/// focused window and its web view (the editing and window commands).
enum class MenuTarget { application, delegate, window };

struct MenuItem {
  bool isSeparator = false;
  std::string titleKey;      // the localisation key
  std::string title;         // the localised text shown
  std::string action;        // "newDocument", "copy", "toggleFullscreen", ...
  std::string accelerator;   // GTK accelerator text ("<Control>n"); empty when none
  MenuTarget target = MenuTarget::window;
  int tag = 0;

  /// The GAction name: "app.<action>" for application and delegate items, "win.<action>" otherwise.
  std::string detailedAction() const;
};

struct Submenu {
  std::string fixedTitle;  // "Application", "File", "Edit", "View", "Window", "Help"
  std::string title;       // what the menu bar shows
  std::vector<MenuItem> items;
};

struct MainMenu {
  static constexpr int kProjectRequiredTag = 3883;

  std::string title = "MainMenu";
  std::vector<Submenu> submenus;

  /// The first item with `action`, when there is one.
  const MenuItem* find(std::string_view action) const;
};

/// Builds the whole menu bar; `isFullscreen` picks the View item's title.
MainMenu buildMainMenu(const L10n& l10n, const std::string& applicationTitle, bool isFullscreen);

/// Menu validation: items tagged kProjectRequiredTag follow whether a project is open.
bool isMenuItemEnabled(int tag, bool isProjectAvailable);

/// The page's menu notification for a delegate action ("saveAs" -> MenuBarItem::saveAs), when the
/// action is one of the six the menu sends to the page.
std::optional<MenuBarItem> menuBarItemForAction(std::string_view action);

}  // namespace kestrom::app

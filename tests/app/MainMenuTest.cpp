#include "app/MainMenu.h"

#include <gtest/gtest.h>

#include "tests/app/TestBundle.h"

namespace kestrom::app {
namespace {

using testing::plist;
using testing::TempBundle;

L10n english() { return L10n::load(bundle::Bundle(testing::sampleBundle()), {"en"}); }

std::vector<std::string> actions(const Submenu& menu) {
  std::vector<std::string> out;
  for (const auto& item : menu.items) out.push_back(item.isSeparator ? "-" : item.action);
  return out;
}

TEST(MainMenuTest, HasTheSixSubmenusWithTheirItemsInOrder) {
  auto menu = buildMainMenu(english(), "Kestrom", false);
  EXPECT_EQ(menu.title, "MainMenu");
  ASSERT_EQ(menu.submenus.size(), 6u);
  std::vector<std::string> fixed;
  for (const auto& submenu : menu.submenus) fixed.push_back(submenu.fixedTitle);
  EXPECT_EQ(fixed, (std::vector<std::string>{"Application", "File", "Edit", "View", "Window", "Help"}));

  EXPECT_EQ(actions(menu.submenus[0]),
            (std::vector<std::string>{"orderFrontStandardAboutPanel", "-", "openPreferences", "-", "hide", "-",
                                      "terminate"}));
  EXPECT_EQ(actions(menu.submenus[1]), (std::vector<std::string>{"newDocument", "openDocument", "saveAs", "moveTo"}));
  EXPECT_EQ(actions(menu.submenus[2]),
            (std::vector<std::string>{"undo", "redo", "-", "cut", "copy", "paste", "selectAll"}));
  EXPECT_EQ(actions(menu.submenus[3]), (std::vector<std::string>{"toggleFullscreen"}));
  EXPECT_EQ(actions(menu.submenus[4]),
            (std::vector<std::string>{"performMiniaturize", "performZoom", "-", "arrangeInFront"}));
  EXPECT_EQ(actions(menu.submenus[5]), (std::vector<std::string>{"openHelp"}));
}

TEST(MainMenuTest, TitlesComeFromTheStringsTableWithTheApplicationName) {
  auto menu = buildMainMenu(english(), "Kestrom", false);
  EXPECT_EQ(menu.submenus[0].title, "Kestrom");
  EXPECT_EQ(menu.submenus[1].title, "File");
  EXPECT_EQ(menu.find("orderFrontStandardAboutPanel")->title, "About Kestrom");
  EXPECT_EQ(menu.find("openHelp")->title, "Kestrom Help");
  EXPECT_EQ(menu.find("saveAs")->titleKey, "menu.file.save_as");
  EXPECT_EQ(menu.find("saveAs")->title, "Save As…");

  auto german = buildMainMenu(L10n::load(bundle::Bundle(testing::sampleBundle()), {"de-DE"}), "Kestrom", false);
  EXPECT_EQ(german.submenus[1].title, "Ablage");
  EXPECT_EQ(german.find("orderFrontStandardAboutPanel")->title, "Über Kestrom");
  EXPECT_EQ(german.find("openHelp")->title, "Kestrom-Hilfe");
}

TEST(MainMenuTest, TheViewItemFollowsTheFullScreenState) {
  EXPECT_EQ(buildMainMenu(english(), "K", false).find("toggleFullscreen")->titleKey, "menu.view.fullscreen");
  EXPECT_EQ(buildMainMenu(english(), "K", true).find("toggleFullscreen")->titleKey, "menu.view.exit_fullscreen");
  EXPECT_EQ(buildMainMenu(english(), "K", true).find("toggleFullscreen")->title, "Exit Full Screen");
}

TEST(MainMenuTest, AboutWithoutOrWithTwoPlaceholdersIsShownAsReplaced) {
  TempBundle bundle;
  bundle.write("en.lproj/Localizable.strings",
               plist("<dict><key>menu.mac_app.about</key><string>Info</string>"
                     "<key>menu.help.item</key><string>{{name}} / {{name}}</string></dict>"));
  auto menu = buildMainMenu(L10n::load(bundle::Bundle(bundle.path()), {}), "App", false);
  EXPECT_EQ(menu.find("orderFrontStandardAboutPanel")->title, "Info");
  EXPECT_EQ(menu.find("openHelp")->title, "App / App");
  EXPECT_EQ(menu.find("newDocument")->title, "menu.file.new_project");  // missing: the key
}

TEST(MainMenuTest, TargetsAcceleratorsAndTags) {
  auto menu = buildMainMenu(english(), "K", false);
  struct Case {
    const char* action;
    const char* detailed;
    const char* accelerator;
    int tag;
  };
  const Case cases[] = {
      {"newDocument", "app.newDocument", "<Control>n", 0},
      {"openDocument", "app.openDocument", "<Control>o", 0},
      {"saveAs", "app.saveAs", "<Control><Alt>s", 3883},
      {"moveTo", "app.moveTo", "", 3883},
      {"openPreferences", "app.openPreferences", "<Control>comma", 0},
      {"openHelp", "app.openHelp", "", 0},
      {"undo", "win.undo", "<Control>z", 0},
      {"redo", "win.redo", "<Control><Shift>z", 0},
      {"cut", "win.cut", "<Control>x", 0},
      {"copy", "win.copy", "<Control>c", 0},
      {"paste", "win.paste", "<Control>v", 0},
      {"selectAll", "win.selectAll", "<Control>a", 0},
      {"toggleFullscreen", "win.toggleFullscreen", "F11", 0},
      {"terminate", "app.terminate", "<Control>q", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.action);
    const MenuItem* item = menu.find(c.action);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->detailedAction(), c.detailed);
    EXPECT_EQ(item->accelerator, c.accelerator);
    EXPECT_EQ(item->tag, c.tag);
  }
}

TEST(MainMenuTest, ValidationDisablesProjectItemsUntilAProjectIsAvailable) {
  EXPECT_FALSE(isMenuItemEnabled(MainMenu::kProjectRequiredTag, false));
  EXPECT_TRUE(isMenuItemEnabled(MainMenu::kProjectRequiredTag, true));
  EXPECT_TRUE(isMenuItemEnabled(0, false));
  EXPECT_TRUE(isMenuItemEnabled(3884, false));
}

TEST(MainMenuTest, DelegateActionsMapToThePagesMenuItems) {
  EXPECT_EQ(menuBarItemForAction("newDocument"), MenuBarItem::newProject);
  EXPECT_EQ(menuBarItemForAction("openDocument"), MenuBarItem::openProject);
  EXPECT_EQ(menuBarItemForAction("saveAs"), MenuBarItem::saveAs);
  EXPECT_EQ(menuBarItemForAction("moveTo"), MenuBarItem::moveTo);
  EXPECT_EQ(menuBarItemForAction("openPreferences"), MenuBarItem::settings);
  EXPECT_EQ(menuBarItemForAction("openHelp"), MenuBarItem::help);
  EXPECT_EQ(menuBarItemForAction("copy"), std::nullopt);
  EXPECT_EQ(menuBarItemForAction("terminate"), std::nullopt);
}

}  // namespace
}  // namespace kestrom::app

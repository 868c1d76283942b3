#include "app/MenuBarModel.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "tests/app/TestBundle.h"

namespace kestrom::app {
namespace {

L10n language(const char* name) { return L10n::load(bundle::Bundle(testing::sampleBundle()), {name}); }

std::string label(GMenuModel* model, int index) {
  gchar* text = nullptr;
  if (!g_menu_model_get_item_attribute(model, index, G_MENU_ATTRIBUTE_LABEL, "s", &text)) return "(none)";
  std::string out = text;
  g_free(text);
  return out;
}

// The submenu of bar entry `index`, section `section`.
GMenuModel* section(GMenuModel* bar, int index, int section) {
  GMenuModel* submenu = g_menu_model_get_item_link(bar, index, G_MENU_LINK_SUBMENU);
  GMenuModel* group = g_menu_model_get_item_link(submenu, section, G_MENU_LINK_SECTION);
  g_object_unref(submenu);
  g_object_unref(group);  // both stay alive inside the bar
  return group;
}

TEST(MenuBarModelTest, SeparatorsBecomeSectionsWithTextsActionsAndShortcuts) {
  MenuBarModel bar(buildMainMenu(language("en"), "Kestrom", false));
  GMenuModel* model = bar.model();
  ASSERT_EQ(g_menu_model_get_n_items(model), 6);
  EXPECT_EQ(label(model, 0), "Kestrom");
  EXPECT_EQ(label(model, 2), "Edit");
  GMenuModel* application = g_menu_model_get_item_link(model, 0, G_MENU_LINK_SUBMENU);
  EXPECT_EQ(g_menu_model_get_n_items(application), 4);  // about | preferences | hide | quit
  g_object_unref(application);

  GMenuModel* editing = section(model, 2, 1);  // cut, copy, paste, select all
  ASSERT_EQ(g_menu_model_get_n_items(editing), 4);
  gchar* action = nullptr;
  gchar* accel = nullptr;
  ASSERT_TRUE(g_menu_model_get_item_attribute(editing, 1, G_MENU_ATTRIBUTE_ACTION, "s", &action));
  ASSERT_TRUE(g_menu_model_get_item_attribute(editing, 1, "accel", "s", &accel));
  EXPECT_STREQ(action, "win.copy");
  EXPECT_STREQ(accel, "<Control>c");
  g_free(action);
  g_free(accel);
}

TEST(MenuBarModelTest, ARebuildChangesOnlyWhatDiffersInTheSameModel) {
  MenuBarModel bar(buildMainMenu(language("en"), "Kestrom", false));
  GMenuModel* model = bar.model();
  GMenuModel* view = section(model, 3, 0);
  EXPECT_EQ(label(view, 0), "Enter Full Screen");

  int changes = 0;
  auto count = +[](GMenuModel*, int, int, int, gpointer data) { ++*static_cast<int*>(data); };
  gulong viewSignal = g_signal_connect(view, "items-changed", G_CALLBACK(count), &changes);
  int elsewhere = 0;
  GMenuModel* editing = section(model, 2, 1);
  gulong editSignal = g_signal_connect(editing, "items-changed", G_CALLBACK(count), &elsewhere);

  bar.update(buildMainMenu(language("en"), "Kestrom", true));
  EXPECT_EQ(bar.model(), model);
  EXPECT_EQ(section(model, 3, 0), view) << "the View submenu was replaced instead of updated";
  EXPECT_EQ(label(view, 0), "Exit Full Screen");
  EXPECT_GT(changes, 0);
  EXPECT_EQ(elsewhere, 0);

  // A language change retitles the bar and the items in place.
  bar.update(buildMainMenu(language("de-DE"), "Kestrom", true));
  EXPECT_EQ(label(model, 1), "Ablage");
  EXPECT_EQ(section(model, 2, 1), editing);
  EXPECT_GT(elsewhere, 0);

  g_signal_handler_disconnect(view, viewSignal);
  g_signal_handler_disconnect(editing, editSignal);
}

}  // namespace
}  // namespace kestrom::app

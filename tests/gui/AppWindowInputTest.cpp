// The real application under the X server this test runs in, as a user talks to it: files handed
// over on its command line, names typed into its save dialog, keys typed through the XTest
// extension, and the menu bar it exports on its session bus.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "tests/gui/AppWindowFixture.h"
#include "tests/gui/SessionBus.h"
#include "tests/support/TempFolder.h"

namespace kestrom::gui_testing {
namespace {

TEST_F(AppWindowTest, AFileHandedOverThatIsNoProjectIsToldOfInAnAlert) {
  TempHome home;
  const fs::path notes = home.path() / "notes.kpr";
  std::ofstream(notes) << "shopping list\n";
  const fs::path other = home.path() / "other.kpr";
  std::ofstream(other) << "not a project either\n";
  App app(home, {notes.string()});
  ASSERT_TRUE(app.started());
  const std::string alert = "\u201Cnotes.kpr\u201D could not be opened";
  auto hasTitle = [&](const std::string& wanted) {
    auto all = screen_.titles();
    return std::find(all.begin(), all.end(), wanted) != all.end();
  };
  EXPECT_TRUE(waitUntil(std::chrono::seconds(30), [&] { return hasTitle(alert); }))
      << "windows: " << ::testing::PrintToString(screen_.titles()) << "\n" << app.output();
  EXPECT_NE(app.output().find("Unable to open project"), std::string::npos) << "the log line stays";

  // A second instance hands its file to the one running, which tells of it in the same way.
  App second(home, {other.string()});
  ASSERT_TRUE(second.started());
  auto status = second.waitForExit(std::chrono::seconds(20));
  ASSERT_TRUE(status) << second.output();
  EXPECT_EQ(*status, 0) << second.output();
  EXPECT_TRUE(waitUntil(std::chrono::seconds(20),
                        [&] { return hasTitle("\u201Cother.kpr\u201D could not be opened"); }))
      << ::testing::PrintToString(screen_.titles()) << "\n" << app.output();
}

TEST_F(AppWindowTest, ANameTypedWithoutTheExtensionIsSavedWithIt) {
  TestBundle bundle(fs::path(KESTROM_TEST_PAGES) / "saveas/index.js");
  TempHome home;
  // Typed key by key: letters, digits and "/.-_" only, which typeText knows without a layout.
  test::TempFolder saved("kestrom-saved");
  ASSERT_FALSE(saved.path().empty());
  const fs::path& folder = saved.path();
  App app(home, {"--verbose"}, bundle.path());
  ASSERT_TRUE(app.started());
  ASSERT_TRUE(waitUntil(std::chrono::seconds(40), [&] { return fileLogHas(home, kJSInfo + "channel open"); }))
      << app.output();
  auto mainWindow = screen_.findWindow("Kestrom");
  ASSERT_TRUE(mainWindow);
  // The save dialog takes the focus once it shows.
  std::optional<Window> dialog;
  ASSERT_TRUE(waitUntil(std::chrono::seconds(20), [&] {
    dialog = screen_.activeWindow();
    return dialog && *dialog != *mainWindow && screen_.title(*dialog) != "Kestrom";
  })) << ::testing::PrintToString(screen_.titles());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the dialog settles its name field
  screen_.type({XK_Control_L, XK_a});
  screen_.typeText((folder / "MyRobot").string());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  screen_.type({XK_Return});
  EXPECT_TRUE(waitUntil(std::chrono::seconds(20), [&] { return fileLogHas(home, kJSInfo + "saveAs 200"); }))
      << readFile(home.fileLog()) << app.output();
  EXPECT_EQ(readFile(folder / "MyRobot.kpr"), "robot bytes");
  EXPECT_FALSE(fs::exists(folder / "MyRobot")) << "saved without its extension";

  screen_.close(*mainWindow);
  EXPECT_TRUE(app.waitForExit(std::chrono::seconds(15)));
}

TEST_F(AppWindowTest, KeysReachThePageBeforeTheMenuAndTheMenuBarFollowsFullScreen) {
  TestBundle bundle(fs::path(KESTROM_TEST_PAGES) / "keys/index.js");
  TempHome home;
  App app(home, {"--verbose"}, bundle.path());
  ASSERT_TRUE(app.started());
  ASSERT_TRUE(waitUntil(std::chrono::seconds(40), [&] { return fileLogHas(home, kJSInfo + "channel open"); }))
      << app.output();
  // The page takes the keys once the splash has gone (its colour is the page's own).
  ASSERT_TRUE(waitUntil(std::chrono::seconds(10), [&] { return screen_.pixel(640, 700).near(kConnectedPage); }));

  struct Case {
    std::initializer_list<KeySym> keys;
    const char* seen;
  };
  const Case cases[] = {
      {{XK_Control_L, XK_z}, "keydown Control+z"},          {{XK_Control_L, XK_Shift_L, XK_z}, "keydown Control+Shift+z"},
      {{XK_Control_L, XK_x}, "keydown Control+x"},          {{XK_Control_L, XK_c}, "keydown Control+c"},
      {{XK_Control_L, XK_v}, "keydown Control+v"},          {{XK_Control_L, XK_a}, "keydown Control+a"},
      {{XK_Control_L, XK_o}, "keydown Control+o (handled by the page)"},
      {{XK_Control_L, XK_n}, "keydown Control+n"},
  };
  // The first chord may come before the page has the focus: typed again until the page sees it.
  bool first = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seen);
    bool seen = false;
    for (int attempt = 0; attempt < (first ? 10 : 1) && !seen; ++attempt) {
      screen_.type(c.keys);
      seen = waitUntil(std::chrono::seconds(first ? 1 : 5), [&] { return fileLogHas(home, kJSInfo + c.seen); });
    }
    EXPECT_TRUE(seen);
    first = false;
  }
  // Control+N went unhandled, so the menu's item acted; Control+O was the page's own.
  EXPECT_TRUE(waitUntil(std::chrono::seconds(5),
                        [&] { return fileLogHas(home, kJSInfo + "menu {\"item\":\"newProject\"}"); }))
      << readFile(home.fileLog());
  EXPECT_FALSE(fileLogHas(home, "openProject")) << readFile(home.fileLog());

  // F11 reaches the page, then toggles full screen; the exported menu bar is retitled in place.
  EXPECT_NE(exportedMenuBar().find("'Enter Full Screen'"), std::string::npos) << exportedMenuBar();
  screen_.type({XK_F11});
  EXPECT_TRUE(waitUntil(std::chrono::seconds(5), [&] { return fileLogHas(home, kJSInfo + "keydown f11"); }));
  EXPECT_TRUE(waitUntil(std::chrono::seconds(10),
                        [&] { return exportedMenuBar().find("'Exit Full Screen'") != std::string::npos; }))
      << exportedMenuBar();
  screen_.type({XK_F11});
  EXPECT_TRUE(waitUntil(std::chrono::seconds(10),
                        [&] { return exportedMenuBar().find("'Enter Full Screen'") != std::string::npos; }))
      << exportedMenuBar();

  auto window = screen_.findWindow("Kestrom");
  ASSERT_TRUE(window);
  screen_.close(*window);
  EXPECT_TRUE(app.waitForExit(std::chrono::seconds(15)));
}

}  // namespace
}  // namespace kestrom::gui_testing

// Starts the real application on the sample bundle under the X server this test runs in, with a
// reparenting window manager (openbox) as users have one, and watches its window: the colours of
// its launch, the frame it takes, keeps and restores, and the ways it quits keeping that frame.

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/gui/AppWindowFixture.h"
#include "tests/gui/SessionBus.h"

namespace kestrom::gui_testing {
namespace {

TEST_F(AppWindowTest, FirstLaunchShowsTheLaunchColourThenThePageWithoutAWhiteFrameInAFrameThatFitsTheWorkArea) {
  TempHome home;
  App app(home);
  ASSERT_TRUE(app.started());

  // The launch colour fills the window (loading view, launch view, splash) until the page shows;
  // nothing white comes between them.
  bool launchColourSeen = false;
  int whiteSightings = 0;
  Color seen{};
  bool pageShown = waitUntil(std::chrono::seconds(40), [&] {
    seen = screen_.pixel(640, 700);
    if (seen.near(kLaunchColor)) launchColourSeen = true;
    if (launchColourSeen && seen.near(kWhite)) ++whiteSightings;
    return seen.near(kConnectedPage);
  });
  ASSERT_TRUE(pageShown) << "page pixel is " << seen << "\n" << app.output();
  EXPECT_TRUE(launchColourSeen) << "the launch colour was never on screen";
  EXPECT_EQ(whiteSightings, 0) << "a white frame showed between the launch colour and the page";
  EXPECT_TRUE(waitUntil(std::chrono::seconds(5), [&] { return screen_.pixel(200, 900).near(kConnectedPage); }));

  // The sample page reports its success as information: the error-only file log stays free of it.
  EXPECT_FALSE(fileLogHas(home, kJSError)) << readFile(home.fileLog());
  EXPECT_EQ(app.output().find("| Request timeout"), std::string::npos) << app.output();

  // First launch: the whole frame, decorations included, is the work area.
  auto area = screen_.workArea();
  ASSERT_TRUE(area);
  Screen::Geometry frame{};
  auto window = windowWithFrame(app, *area, frame);
  ASSERT_TRUE(window);
  EXPECT_EQ(frame, *area);
  auto content = screen_.geometry(*window);
  EXPECT_LT(content.height, frame.height) << "openbox gives the window a title bar";

  // Closing the window quits the application and keeps the frame for the next launch.
  screen_.close(*window);
  auto status = app.waitForExit(std::chrono::seconds(15));
  ASSERT_TRUE(status) << "the application did not quit when its window closed";
  EXPECT_EQ(*status, 0) << app.output();
  auto defaults = nlohmann::json::parse(readFile(home.defaults()), nullptr, false);
  ASSERT_TRUE(defaults.is_object()) << readFile(home.defaults());
  EXPECT_EQ(defaults.value("AppDelegate.customScreenSizeVersion", 0), 1);
  ASSERT_TRUE(defaults.contains("windowPosition"));
  EXPECT_EQ(defaults["windowPosition"].value("width", 0.0), frame.width);
  EXPECT_EQ(defaults["windowPosition"].value("height", 0.0), frame.height);
}

TEST_F(AppWindowTest, KeepsTheFrameTheUserLastGaveItAcrossRestartsAndMovesAnOffScreenOneOntoTheWorkArea) {
  TempHome home;
  fs::create_directories(home.defaults().parent_path());
  std::ofstream(home.defaults()) << nlohmann::json{{"AppDelegate.customScreenSizeVersion", 1},
                                                   {"windowPosition",
                                                    {{"x", 3000}, {"y", 80}, {"width", 1100}, {"height", 800}}}}
                                        .dump();
  auto area = screen_.workArea();
  ASSERT_TRUE(area);
  // Between launches the user moves and resizes the window (smaller, smaller again, then larger)
  // through the window manager and quits at once: by the close button, by the Quit action, by the
  // close button.
  const Screen::Geometry frames[] = {{100, 80, 1100, 840}, {160, 120, 1060, 800}, {40, 30, 1120, 820}};
  Screen::Geometry expected = *area;  // the saved frame lies off the monitor
  for (int launch = 0; launch < 4; ++launch) {
    SCOPED_TRACE("launch " + std::to_string(launch + 1));
    App app(home);
    auto window = framedWindow(app, home, expected);
    ASSERT_TRUE(window);
    bool byQuitAction = false;
    if (launch < 3) {
      // The quit follows as soon as the frame shows the new size, when the window manager may not
      // have passed the new size on to the window yet.
      const Screen::Geometry& target = frames[launch];
      screen_.setFrame(*window, target);
      ASSERT_TRUE(waitUntil(
          std::chrono::seconds(15), [&] { return screen_.frame(*window) == target; }, std::chrono::milliseconds(2)))
          << "frame is " << screen_.frame(*window);
      expected = target;
      byQuitAction = launch == 1;
    }
    if (byQuitAction) {
      EXPECT_EQ(activateApplicationAction("terminate"), "");
    } else {
      screen_.close(*window);
    }
    auto status = app.waitForExit(std::chrono::seconds(15));
    ASSERT_TRUE(status) << app.output();
    EXPECT_EQ(*status, 0) << app.output();

    // The saved frame is the one on screen at the quit, decorations included.
    auto defaults = nlohmann::json::parse(readFile(home.defaults()), nullptr, false);
    ASSERT_TRUE(defaults.is_object()) << readFile(home.defaults());
    auto saved = defaults.value("windowPosition", nlohmann::json::object());
    EXPECT_EQ((Screen::Geometry{saved.value("x", -1), saved.value("y", -1), saved.value("width", -1),
                                saved.value("height", -1)}),
              expected)
        << saved.dump();
  }
}

TEST_F(AppWindowTest, AMoveOrResizeIsSavedOnceItSettlesAndSigtermOrSigintQuitsKeepingTheFrame) {
  ::alarm(130);  // four launches
  TempHome home;
  auto area = screen_.workArea();
  ASSERT_TRUE(area);
  struct Case {
    const char* what;
    int signal;
    Screen::Geometry target;
    bool settles;  // the reports settle before the signal comes
    bool fullScreen = false;  // then the window goes full screen before the signal
  };
  // First the save while the application runs, once the window manager's reports have settled
  // (a logout that kills the application outright keeps it too); then a signal at once after the
  // move, before they settle: the quit itself keeps the frame. Full screen is no frame of the
  // user's: neither its saves nor the quit keep it.
  const Case cases[] = {{"SIGTERM after the reports settled", SIGTERM, {120, 90, 1080, 820}, true},
                        {"SIGINT at once", SIGINT, {60, 40, 1120, 860}, false},
                        {"SIGTERM in full screen", SIGTERM, {100, 70, 1100, 840}, true, true}};
  Screen::Geometry expected = *area;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    App app(home);
    auto window = framedWindow(app, home, expected);  // the frame saved at the last quit came back
    ASSERT_TRUE(window);
    screen_.setFrame(*window, c.target);
    ASSERT_TRUE(waitUntil(
        std::chrono::seconds(15), [&] { return screen_.frame(*window) == c.target; }, std::chrono::milliseconds(2)))
        << "frame is " << screen_.frame(*window);
    if (c.settles) {
      EXPECT_TRUE(waitUntil(std::chrono::seconds(10), [&] { return savedFrame(home) == c.target; }))
          << readFile(home.defaults());
    }
    if (c.fullScreen) {
      screen_.enterFullScreen(*window);
      // Undecorated at the screen's corner, over the whole work area.
      ASSERT_TRUE(waitUntil(std::chrono::seconds(10), [&] {
        auto inner = screen_.geometry(*window);
        return inner.x == 0 && inner.y == 0 && inner.width >= area->width && inner.height >= area->height;
      })) << "window is at " << screen_.geometry(*window);
      // The save once full screen's reports have settled keeps the frame too, for a kill to find.
      EXPECT_FALSE(waitUntil(std::chrono::seconds(2), [&] { return savedFrame(home) != c.target; }))
          << readFile(home.defaults());
    }
    ::kill(app.pid(), c.signal);
    auto status = app.waitForExit(std::chrono::seconds(15));
    ASSERT_TRUE(status) << "the signal did not quit the application\n" << app.output();
    EXPECT_EQ(*status, 0) << app.output();
    EXPECT_EQ(savedFrame(home), c.target);
    expected = c.target;
  }
  App app(home);
  auto window = framedWindow(app, home, expected);
  ASSERT_TRUE(window);
  screen_.close(*window);
  EXPECT_TRUE(app.waitForExit(std::chrono::seconds(15)));
}

TEST_F(AppWindowTest, AMaximisedRelaunchUnmaximisesToTheStoredFrameAndFullScreenOverMaximisedStaysMaximised) {
  ::alarm(160);  // five launches
  TempHome home;
  const Screen::Geometry normal{100, 80, 1100, 840};
  fs::create_directories(home.defaults().parent_path());
  std::ofstream(home.defaults()) << nlohmann::json{{"AppDelegate.customScreenSizeVersion", 1},
                                                   {"windowPosition",
                                                    {{"x", normal.x}, {"y", normal.y}, {"width", normal.width},
                                                     {"height", normal.height}, {"maximized", true}}}}
                                        .dump();
  auto storedMaximized = [&] {
    auto defaults = nlohmann::json::parse(readFile(home.defaults()), nullptr, false);
    return defaults.is_object() && defaults["windowPosition"].value("maximized", false);
  };
  auto near = [](const Screen::Geometry& a, const Screen::Geometry& b) {
    return std::abs(a.x - b.x) <= 2 && std::abs(a.y - b.y) <= 2 && std::abs(a.width - b.width) <= 2 &&
           std::abs(a.height - b.height) <= 2;
  };
  // Each launch comes back maximised; unmaximised, the window takes the stored frame, which stays
  // as it was; maximised again, SIGTERM. The fourth launch goes full screen over maximised first,
  // and the fifth still comes back maximised.
  for (int launch = 0; launch < 5; ++launch) {
    SCOPED_TRACE("launch " + std::to_string(launch + 1));
    App app(home);
    ASSERT_TRUE(app.started());
    std::optional<Window> window;
    ASSERT_TRUE(waitUntil(std::chrono::seconds(30), [&] {
      window = screen_.findWindow("Kestrom");
      return window && screen_.isMaximized(*window);
    })) << "the relaunch is not maximised\n" << app.output();
    if (launch == 4) break;
    if (launch < 3) {
      screen_.setMaximized(*window, false);
      EXPECT_TRUE(waitUntil(std::chrono::seconds(10), [&] {
        return !screen_.isMaximized(*window) && near(screen_.frame(*window), normal);
      })) << "frame is " << screen_.frame(*window);
      EXPECT_TRUE(waitUntil(std::chrono::seconds(5), [&] { return !storedMaximized(); })) << readFile(home.defaults());
      EXPECT_EQ(savedFrame(home), normal) << readFile(home.defaults());
      screen_.setMaximized(*window, true);
      ASSERT_TRUE(waitUntil(std::chrono::seconds(10), [&] { return screen_.isMaximized(*window); }));
      // The quit comes once the application has seen the window maximised, as a user's would.
      EXPECT_TRUE(waitUntil(std::chrono::seconds(5), storedMaximized)) << readFile(home.defaults());
    } else {
      screen_.enterFullScreen(*window);
      ASSERT_TRUE(waitUntil(std::chrono::seconds(10), [&] { return screen_.geometry(*window).y == 0; }));
      // The save once full screen's reports have settled keeps it maximised too.
      EXPECT_FALSE(waitUntil(std::chrono::seconds(2), [&] { return !storedMaximized(); })) << readFile(home.defaults());
    }
    ::kill(app.pid(), SIGTERM);
    auto status = app.waitForExit(std::chrono::seconds(15));
    ASSERT_TRUE(status) << app.output();
    EXPECT_EQ(*status, 0) << app.output();
    EXPECT_EQ(savedFrame(home), normal) << readFile(home.defaults());
    EXPECT_TRUE(storedMaximized()) << readFile(home.defaults());
  }
}

TEST_F(AppWindowTest, StartsAndQuitsLeaveNothingBehindThatGrowsWithEachStart) {
  ::alarm(150);  // four launches
  TempHome home;
  // Without XDG_RUNTIME_DIR, WebKit describes its sandboxes in the cache folder, inside the home.
  const fs::path sandboxes = home.path() / ".cache/.flatpak";
  // Mesa's shader cache gains a shader now and then, whatever the application does.
  auto entries = [&] {
    std::vector<std::string> found;
    for (auto it = fs::recursive_directory_iterator(home.path()); it != fs::recursive_directory_iterator(); ++it) {
      if (it->path().filename() == "mesa_shader_cache") it.disable_recursion_pending();
      if (it->path().filename() != "app.log") found.push_back(fs::relative(it->path(), home.path()).string());
    }
    return found;
  };
  std::vector<std::size_t> counts;
  std::vector<std::string> seen = entries();
  for (int launch = 0; launch < 4; ++launch) {
    SCOPED_TRACE("launch " + std::to_string(launch + 1));
    App app(home);
    ASSERT_TRUE(app.started());
    ASSERT_TRUE(waitUntil(std::chrono::seconds(40), [&] { return screen_.pixel(640, 700).near(kConnectedPage); }))
        << app.output();
    // The quit comes once the web view has cached this run's page (WebKit writes it a little later).
    EXPECT_TRUE(waitUntil(std::chrono::seconds(20), [&] {
      for (const auto& entry : entries()) {
        if (entry.find("/Resource/") != std::string::npos && std::find(seen.begin(), seen.end(), entry) == seen.end())
          return true;
      }
      return false;
    }));
    seen = entries();
    pid_t pid = app.pid();
    ::kill(pid, SIGTERM);
    ASSERT_EQ(app.waitForExit(std::chrono::seconds(15)), 0) << app.output();
    counts.push_back(entries().size());
    // What is left of the web view's sandboxes is this run's alone.
    for (const auto& entry : fs::directory_iterator(sandboxes)) {
      EXPECT_EQ(entry.path().filename().string().rfind("webkit-" + std::to_string(pid) + "-", 0), 0u) << entry.path();
    }
  }
  // The first run makes the folders and files every run uses; two more starts leave no more than
  // the second left (WebKit may drop a file of its own now and then, so the counts may also fall).
  EXPECT_LE(counts[3], counts[1]) << ::testing::PrintToString(counts) << ::testing::PrintToString(entries());
}

TEST_F(AppWindowTest, TheSessionsEndQuitsKeepingTheFrameOfAMoveJustMade) {
  FakeSessionManager session;
  ASSERT_TRUE(session.owned()) << "could not own org.gnome.SessionManager on the test's bus";
  TempHome home;
  auto area = screen_.workArea();
  ASSERT_TRUE(area);
  const Screen::Geometry moved{140, 100, 1040, 800};
  App app(home);
  auto window = framedWindow(app, home, *area);
  ASSERT_TRUE(window);
  EXPECT_TRUE(session.clientRegistered()) << "the application did not register with the session";
  screen_.setFrame(*window, moved);
  ASSERT_TRUE(waitUntil(
      std::chrono::seconds(15), [&] { return screen_.frame(*window) == moved; }, std::chrono::milliseconds(2)));
  session.endSession();
  auto status = app.waitForExit(std::chrono::seconds(15));
  ASSERT_TRUE(status) << "the application outlived its session\n" << app.output();
  EXPECT_EQ(*status, 0) << app.output();
  EXPECT_TRUE(session.endSessionAnswered());
  EXPECT_EQ(savedFrame(home), moved) << readFile(home.defaults());
}

}  // namespace
}  // namespace kestrom::gui_testing

#pragma once
// What every test of the application's window starts from: an X server with openbox, the
// watchdog, and the waits for the application's framed window.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <optional>

#include <nlohmann/json.hpp>

#include "tests/gui/GuiSupport.h"
#include "tests/gui/XScreen.h"

namespace kestrom::gui_testing {

// The sample bundle's launch colour (0.2, 0.4, 0.8) and the sample page's "connected" background.
constexpr Color kLaunchColor{51, 102, 204};
constexpr Color kConnectedPage{40, 160, 80};
constexpr Color kWhite{255, 255, 255};

class AppWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGALRM, watchdogFired);
    ::alarm(50);
    ASSERT_TRUE(screen_.isOpen()) << "no X server (run under xvfb-run)";
    ASSERT_TRUE(screen_.windowManagerRuns()) << "openbox did not start";
  }
  void TearDown() override { ::alarm(0); }

  // The application's window once the window manager has framed it and the frame is `expected`
  // and holds still; `frame` is the last frame seen (a window that never gets there fails the
  // caller's comparison after the wait). The application places its window once it is mapped, so
  // the frame may first show where the window manager put it.
  std::optional<Window> windowWithFrame(App& app, const Screen::Geometry& expected, Screen::Geometry& frame) {
    std::optional<Window> window;
    int still = 0;
    waitUntil(std::chrono::seconds(30), [&] {
      window = screen_.findWindow("Kestrom");
      if (!window) return false;
      frame = screen_.frame(*window);
      still = frame == expected ? still + 1 : 0;
      return still >= 8;  // about a third of a second at the expected frame
    });
    if (!window) ADD_FAILURE() << "no window\n" << app.output();
    return window;
  }

  // The started application's window once its frame is `expected` and the application has kept
  // that frame in `home` (a failure otherwise). The keeping follows the application's own placement:
  // where the window manager puts the window at the expected frame by itself, a move made before it
  // would be undone by that placement, however still the frame looked.
  std::optional<Window> framedWindow(App& app, const TempHome& home, const Screen::Geometry& expected) {
    if (!app.started()) {
      ADD_FAILURE() << "the application did not start";
      return std::nullopt;
    }
    Screen::Geometry frame{};
    auto window = windowWithFrame(app, expected, frame);
    EXPECT_EQ(frame, expected);
    EXPECT_TRUE(waitUntil(std::chrono::seconds(20), [&] { return savedFrame(home) == expected; }))
        << readFile(home.defaults());
    return window;
  }

  // The frame saved in the defaults file, if any.
  static std::optional<Screen::Geometry> savedFrame(const TempHome& home) {
    auto defaults = nlohmann::json::parse(readFile(home.defaults()), nullptr, false);
    if (!defaults.is_object() || !defaults.contains("windowPosition")) return std::nullopt;
    const auto& saved = defaults["windowPosition"];
    return Screen::Geometry{saved.value("x", -1), saved.value("y", -1), saved.value("width", -1),
                            saved.value("height", -1)};
  }

  Screen& screen_ = sharedScreen();
};

}  // namespace kestrom::gui_testing

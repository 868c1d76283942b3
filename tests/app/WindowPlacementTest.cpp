#include "app/WindowPlacement.h"

#include <gtest/gtest.h>

namespace kestrom::app {
namespace {

const Rect kMain{0, 27, 1280, 997};
const Rect kSecond{1280, 0, 1920, 1080};

TEST(WindowPlacementTest, DecidesByVersionScreensAndSize) {
  struct Case {
    const char* name;
    PlacementInput input;
    PlacementDecision expected;
  };
  const Case cases[] = {
      {"no monitor: nothing happens", {std::nullopt, {}, 0, Rect{10, 10, 1100, 800}}, {}},
      {"first launch fills the main work area and stores the version",
       {kMain, {kMain}, 0, Rect{10, 40, 1100, 800}},
       {kMain, 1}},
      {"first launch without a saved frame", {kMain, {kMain}, 0, std::nullopt}, {kMain, 1}},
      {"later launch keeps a good frame", {kMain, {kMain, kSecond}, 1, Rect{100, 100, 1100, 800}}, {}},
      {"a frame on the second monitor stays", {kMain, {kMain, kSecond}, 1, Rect{1500, 100, 1100, 800}}, {}},
      {"a frame off every monitor goes to the main work area",
       {kMain, {kMain, kSecond}, 1, Rect{5000, 5000, 1100, 800}},
       {kMain, std::nullopt}},
      {"a frame only inside the outer 5-pixel margin counts as off-screen",
       {kMain, {kMain}, 1, Rect{-1096, 100, 1100, 800}},
       {kMain, std::nullopt}},
      {"a frame 6 pixels into the work area counts",
       {kMain, {kMain}, 1, Rect{-1094, 100, 1100, 800}},
       {}},
      {"too low", {kMain, {kMain}, 1, Rect{0, 30, 1100, 767}}, {kMain, std::nullopt}},
      {"too narrow", {kMain, {kMain}, 1, Rect{0, 30, 1023, 900}}, {kMain, std::nullopt}},
      {"exactly the minimum stays", {kMain, {kMain}, 1, Rect{0, 30, 1024, 768}}, {}},
      {"no saved frame on a later launch", {kMain, {kMain}, 1, std::nullopt}, {}},
      {"a newer version is not lowered", {kMain, {kMain}, 2, Rect{0, 30, 1100, 800}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decision = placeWindow(c.input);
    EXPECT_EQ(decision.frame, c.expected.frame);
    EXPECT_EQ(decision.storeVersion, c.expected.storeVersion);
  }
}

TEST(WindowPlacementTest, RectanglesThatOnlyTouchDoNotIntersect) {
  Rect a{0, 0, 10, 10};
  EXPECT_TRUE(a.intersects({9, 9, 10, 10}));
  EXPECT_FALSE(a.intersects({10, 0, 10, 10}));
  EXPECT_FALSE(a.intersects({0, 10, 10, 10}));
  EXPECT_FALSE(a.intersects({2, 2, 0, 5}));
  EXPECT_EQ(a.insetBy(5, 5), (Rect{5, 5, 0, 0}));
  EXPECT_FALSE(a.insetBy(5, 5).intersects(a));
}

}  // namespace
}  // namespace kestrom::app

namespace kestrom::app {
namespace {

TEST(WindowFrameCodingTest, RoundTripsAndRejectsMalformedValues) {
  SavedWindowFrame saved{{12, 34, 1100, 800}, true, FrameExtents{1, 1, 23, 1}};
  EXPECT_EQ(decodeWindowFrame(encodeWindowFrame(saved)), saved);
  EXPECT_EQ(decodeWindowFrame(nlohmann::ordered_json::parse(R"({"x":1,"y":2,"width":3,"height":4})")),
            (SavedWindowFrame{{1, 2, 3, 4}, false, std::nullopt}));
  // Damaged extents only lose the extents; the frame stays.
  for (const char* text : {R"({"x":1,"y":2,"width":3,"height":4,"frameExtents":{"left":1,"right":1,"top":-5,"bottom":1}})",
                           R"({"x":1,"y":2,"width":3,"height":4,"frameExtents":[1,1,23,1]})"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(decodeWindowFrame(nlohmann::ordered_json::parse(text)), (SavedWindowFrame{{1, 2, 3, 4}, false, std::nullopt}));
  }
  for (const char* text : {R"([1,2,3,4])", R"({"x":1,"y":2,"width":3})", R"({"x":"1","y":2,"width":3,"height":4})",
                           R"(null)", R"("1 2 3 4")"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(decodeWindowFrame(nlohmann::ordered_json::parse(text)), std::nullopt);
  }
}

}  // namespace
}  // namespace kestrom::app

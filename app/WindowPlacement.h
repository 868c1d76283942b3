#pragma once
// Where the main window goes at launch: the first launch on a machine fills the main monitor's
// work area; later launches keep the saved frame unless it lies off every monitor (or only
// within their outer 5-pixel margin) or is smaller than the minimum content size. Plain
// geometry; the GTK side measures monitors and applies the decision.

#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/Configuration.h"

namespace kestrom::app {

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const Rect&) const = default;
  bool isEmpty() const { return width <= 0 || height <= 0; }
  /// The rectangle shrunk by `dx` on the left and right and `dy` on the top and bottom.
  Rect insetBy(double dx, double dy) const { return {x + dx, y + dy, width - 2 * dx, height - 2 * dy}; }
  /// True when the two share an area (touching edges do not count).
  bool intersects(const Rect& other) const;
};

struct PlacementInput {
  std::optional<Rect> mainScreenVisibleFrame;  // empty: no monitor
  std::vector<Rect> screenVisibleFrames;       // every monitor's work area
  int storedPlacementVersion = 0;              // the user default; 0 when missing
  std::optional<Rect> windowFrame;             // the saved frame, when one was restored
  Size minimumContentSize = Configuration::kMinimumContentSize;
};

struct PlacementDecision {
  std::optional<Rect> frame;         // the frame to set; empty: leave the window as it is
  std::optional<int> storeVersion;   // the placement version to store
  bool operator==(const PlacementDecision&) const = default;
};

/// How far the window manager's decorations reach beyond the window's content on each side.
struct FrameExtents {
  double left = 0;
  double right = 0;
  double top = 0;
  double bottom = 0;
  bool operator==(const FrameExtents&) const = default;
};

/// The frame kept across launches under the user default "windowPosition". Every rectangle here
/// and in PlacementInput is an outer frame (decorations included) in desktop coordinates, as the
/// monitors' work areas are: saving and restoring use this one kind of coordinate, so a window
/// comes back exactly where it was. The frame is one the window had neither full screen nor
/// maximised; `maximized` says whether it was maximised as well. The extents last seen let the
/// next launch size the content before the window manager reports them again.
struct SavedWindowFrame {
  Rect frame;
  bool maximized = false;
  std::optional<FrameExtents> frameExtents;
  bool operator==(const SavedWindowFrame&) const = default;
};

inline constexpr const char* kWindowFrameKey = "windowPosition";

nlohmann::ordered_json encodeWindowFrame(const SavedWindowFrame& saved);
/// Empty when `value` is not an object with four finite numbers "x", "y", "width", "height".
std::optional<SavedWindowFrame> decodeWindowFrame(const nlohmann::ordered_json& value);

inline constexpr int kCustomScreenSizeVersionCurrent = 1;
inline constexpr const char* kCustomScreenSizeVersionKey = "AppDelegate.customScreenSizeVersion";

PlacementDecision placeWindow(const PlacementInput& input);

}  // namespace kestrom::app

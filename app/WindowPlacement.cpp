#include "app/WindowPlacement.h"

#include <algorithm>
#include <cmath>

namespace kestrom::app {

bool Rect::intersects(const Rect& other) const {
  if (isEmpty() || other.isEmpty()) return false;
  return std::max(x, other.x) < std::min(x + width, other.x + other.width) &&
         std::max(y, other.y) < std::min(y + height, other.y + other.height);
}

PlacementDecision placeWindow(const PlacementInput& input) {
  PlacementDecision decision;
  if (!input.mainScreenVisibleFrame) return decision;
  const Rect& main = *input.mainScreenVisibleFrame;

  if (input.storedPlacementVersion < kCustomScreenSizeVersionCurrent) {
    decision.storeVersion = kCustomScreenSizeVersionCurrent;
    decision.frame = main;
    return decision;
  }
  // No saved frame: the window keeps whatever size it was given.
  if (!input.windowFrame) return decision;
  const Rect& frame = *input.windowFrame;

  bool onSomeScreen = std::any_of(input.screenVisibleFrames.begin(), input.screenVisibleFrames.end(),
                                  [&frame](const Rect& screen) { return screen.insetBy(5, 5).intersects(frame); });
  if (!onSomeScreen || frame.height < input.minimumContentSize.height ||
      frame.width < input.minimumContentSize.width) {
    decision.frame = main;
  }
  return decision;
}

nlohmann::ordered_json encodeWindowFrame(const SavedWindowFrame& saved) {
  nlohmann::ordered_json encoded = {{"x", saved.frame.x},         {"y", saved.frame.y},
                                    {"width", saved.frame.width}, {"height", saved.frame.height},
                                    {"maximized", saved.maximized}};
  if (saved.frameExtents) {
    const auto& e = *saved.frameExtents;
    encoded["frameExtents"] = {{"left", e.left}, {"right", e.right}, {"top", e.top}, {"bottom", e.bottom}};
  }
  return encoded;
}

namespace {

std::optional<double> finiteNumber(const nlohmann::ordered_json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  double v = it->get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<FrameExtents> decodeFrameExtents(const nlohmann::ordered_json& value) {
  if (!value.is_object()) return std::nullopt;
  auto left = finiteNumber(value, "left"), right = finiteNumber(value, "right");
  auto top = finiteNumber(value, "top"), bottom = finiteNumber(value, "bottom");
  if (!left || !right || !top || !bottom) return std::nullopt;
  for (double side : {*left, *right, *top, *bottom}) {
    if (side < 0 || side > 1000) return std::nullopt;
  }
  return FrameExtents{*left, *right, *top, *bottom};
}

}  // namespace

std::optional<SavedWindowFrame> decodeWindowFrame(const nlohmann::ordered_json& value) {
  if (!value.is_object()) return std::nullopt;
  auto number = [&value](const char* key) { return finiteNumber(value, key); };
  auto x = number("x"), y = number("y"), width = number("width"), height = number("height");
  if (!x || !y || !width || !height) return std::nullopt;
  SavedWindowFrame saved{{*x, *y, *width, *height}, false, std::nullopt};
  if (auto it = value.find("maximized"); it != value.end() && it->is_boolean()) saved.maximized = it->get<bool>();
  // The extents only help to size the window early; a damaged entry is ignored, not fatal.
  if (auto it = value.find("frameExtents"); it != value.end()) {
    if (auto extents = decodeFrameExtents(*it)) saved.frameExtents = extents;
  }
  return saved;
}

}  // namespace kestrom::app

#include "app/WindowPlacement.h"

#include <algorithm>

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

}  // namespace kestrom::app

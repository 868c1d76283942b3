#include "KestromKit/hubs/FirmwareUpdateWindow.h"

#include <cmath>

#include "KestromKit/base/Constants.h"

namespace kestrom {

double clampFirmwareUpdateDuration(double expectedDuration) {
  const char* why = nullptr;
  double seconds = expectedDuration;
  if (std::isnan(expectedDuration)) {
    why = "not a number", seconds = 0;
  } else if (expectedDuration < 0) {
    why = "negative", seconds = 0;
  } else if (expectedDuration > kMaxFirmwareUpdateSeconds) {
    why = std::isinf(expectedDuration) ? "infinite" : "above one hour", seconds = kMaxFirmwareUpdateSeconds;
  }
  if (why)
    Constants::log().bluetooth.info("Firmware update duration %g is %s; clamped to %g s", expectedDuration, why,
                                    seconds);
  return seconds;
}

}  // namespace kestrom

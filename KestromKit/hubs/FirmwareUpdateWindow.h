#pragma once
// How long the firmware-update window may stay open. The page announces an update with its
// expected duration; the kit re-checks the window once a second until it closes, so a duration
// of 1e308 would keep that tick running until the host restarts.

namespace kestrom {

/// The longest window an update may ask for: one hour.
inline constexpr double kMaxFirmwareUpdateSeconds = 3600;

/// `expectedDuration` (seconds) made usable: not a number or negative becomes 0 (the window
/// closes at the next check), infinite or above one hour becomes one hour. A clamp is logged.
double clampFirmwareUpdateDuration(double expectedDuration);

}  // namespace kestrom

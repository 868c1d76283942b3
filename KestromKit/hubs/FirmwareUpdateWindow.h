#pragma once
// The firmware-update window: the page announces an update of a hub with its expected duration
// ("/hub/updatingFirmware"), and the window stays open that long, re-checked once a second until
// it closes. A duration of 1e308 would keep that tick running until the host restarts, so every
// duration is clamped first.
//
// Home queue: main (requests and the tick). Owner: the kit, for the life of the process.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KestromKit/model/RequestRecords.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "platform/dispatch/Queue.h"

namespace kestrom {

/// The longest window an update may ask for: one hour.
inline constexpr double kMaxFirmwareUpdateSeconds = 3600;

/// `expectedDuration` (seconds) made usable: not a number or negative becomes 0 (the window
/// closes at the next check), infinite or above one hour becomes one hour. A clamp is logged.
double clampFirmwareUpdateDuration(double expectedDuration);

class FirmwareUpdateWindow : public std::enable_shared_from_this<FirmwareUpdateWindow> {
 public:
  /// Seconds since 1970 now.
  using Clock = std::function<double()>;

  FirmwareUpdateWindow(std::shared_ptr<RPCInterface> interface, Clock now);
  ~FirmwareUpdateWindow();
  FirmwareUpdateWindow(const FirmwareUpdateWindow&) = delete;
  FirmwareUpdateWindow& operator=(const FirmwareUpdateWindow&) = delete;

  /// "/hub/updatingFirmware": the window now closes `expectedDuration` (clamped) from now, whatever
  /// an earlier announcement said; answered at once.
  void updating(const std::string& requestID, const RPCRequestHubFirmwareUpdatingParams& params);
  /// The tick: closes the window once its end has passed, else checks again in a second.
  void check();
  /// When the window closes (seconds since 1970); none while it is closed.
  std::optional<double> end() const;

 private:
  const std::shared_ptr<RPCInterface> interface_;
  const Clock now_;
  dispatch::WorkItem tick_;
  std::optional<double> end_;
};

}  // namespace kestrom

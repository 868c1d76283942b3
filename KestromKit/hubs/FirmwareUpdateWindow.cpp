#include "KestromKit/hubs/FirmwareUpdateWindow.h"

#include <chrono>
#include <cmath>

#include "KestromKit/base/Constants.h"
#include "platform/dispatch/QueueCheck.h"

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

FirmwareUpdateWindow::FirmwareUpdateWindow(std::shared_ptr<RPCInterface> interface, Clock now)
    : interface_(std::move(interface)), now_(std::move(now)) {}

FirmwareUpdateWindow::~FirmwareUpdateWindow() { tick_.cancel(); }

void FirmwareUpdateWindow::updating(const std::string& requestID, const RPCRequestHubFirmwareUpdatingParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  end_ = now_() + clampFirmwareUpdateDuration(params.expectedDuration);
  check();
  interface_->send(RPC::Response::make<RPC::Response::Case::hubFirmwareUpdating>(requestID));
}

void FirmwareUpdateWindow::check() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  tick_.cancel();
  if (!end_ || *end_ < now_()) {
    end_.reset();
    return;
  }
  std::weak_ptr<FirmwareUpdateWindow> weak = weak_from_this();
  tick_ = dispatch::mainQueue()->asyncAfter(std::chrono::seconds(1), [weak] {
    if (auto self = weak.lock()) self->check();
  });
}

std::optional<double> FirmwareUpdateWindow::end() const {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  return end_;
}

}  // namespace kestrom

#pragma once
// Microphone recording and level reports for the page. This version has no recorder behind it:
// permission is reported as not granted and recording requests get an error reply, so the page
// is always answered. Answers go through `interface`. Owned by the kit.

#include <memory>
#include <string>

#include "KestromKit/rpc/RPCInterface.h"

namespace kestrom {

class AudioService {
 public:
  explicit AudioService(std::shared_ptr<RPCInterface> interface);

  void checkRecordingPermission(const std::string& requestID);
  void startRecording(const std::string& requestID);
  void stopRecording(const std::string& requestID);
  void startReportingLevels(const std::string& requestID);
  /// Stops the input engine (nothing runs in this version).
  void stopAudioEngine();

  const std::shared_ptr<RPCInterface>& interface() const { return interface_; }

 private:
  std::shared_ptr<RPCInterface> interface_;
};

/// Streams the first game controller to the page; this version sees no controller and so sends
/// nothing. Replaced by every "gamepad/subscribe".
class GamepadService {
 public:
  GamepadService(std::shared_ptr<RPCInterface> interface, double targetHz);
  double targetHz() const { return targetHz_; }

 private:
  std::shared_ptr<RPCInterface> interface_;
  double targetHz_;
};

}  // namespace kestrom

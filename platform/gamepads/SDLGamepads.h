#pragma once
// Gamepads over SDL2's GameController API. One thread of ours ("Gamepads") owns SDL's event loop:
// it starts SDL's joystick and controller subsystems (no video, no signal handlers), pumps events
// every `pollInterval`, opens controllers as they arrive, closes them as they leave, and copies
// every open controller's buttons and axes into the shared snapshot after each pump. Nothing
// outside that thread touches an SDL controller, so one unplugged at any moment cannot be read
// after it is closed. SDL's event queue is process-wide: make one SDLGamepads per process.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/gamepads/Gamepads.h"

namespace kestrom::gamepads {

class SDLGamepads final : public Gamepads {
 public:
  /// Returns once SDL's controller subsystem is up (or has failed, which is logged and leaves a
  /// layer that never sees a controller).
  explicit SDLGamepads(std::shared_ptr<dispatch::Queue> queue,
                       std::chrono::milliseconds pollInterval = std::chrono::milliseconds(4));
  ~SDLGamepads() override;

 private:
  void run(std::chrono::milliseconds pollInterval);
  void pumpUntilQuit(std::chrono::milliseconds pollInterval);

  std::mutex mutex_;  // guards started_, quit_
  std::condition_variable wake_;
  bool started_ = false;
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace kestrom::gamepads

#include "platform/gamepads/SDLGamepads.h"

#include <SDL.h>
#include <pthread.h>

#include <algorithm>
#include <vector>

#include "platform/log/Log.h"

namespace kestrom::gamepads {
namespace {

const log::Logger& logger() {
  static const log::Logger logger("platform", "Gamepads");
  return logger;
}

float stickValue(Sint16 raw) {
  return raw >= 0 ? static_cast<float>(raw) / 32767.0f : static_cast<float>(raw) / 32768.0f;
}

ButtonState button(SDL_GameController* controller, SDL_GameControllerButton which) {
  ButtonState state;
  state.present = SDL_GameControllerHasButton(controller, which) == SDL_TRUE;
  if (!state.present) return state;
  state.pressed = SDL_GameControllerGetButton(controller, which) != 0;
  state.value = state.pressed ? 1.0f : 0.0f;
  return state;
}

// SDL reports triggers from 0 (released) to 32767 (fully pressed).
ButtonState trigger(SDL_GameController* controller, SDL_GameControllerAxis which) {
  ButtonState state;
  state.present = SDL_GameControllerHasAxis(controller, which) == SDL_TRUE;
  if (!state.present) return state;
  const Sint16 raw = SDL_GameControllerGetAxis(controller, which);
  state.value = std::clamp(static_cast<float>(raw) / 32767.0f, 0.0f, 1.0f);
  state.pressed = state.value > kTriggerPressedThreshold;
  return state;
}

// SDL's y axes grow downwards; ours grow upwards.
GamepadState readState(SDL_GameController* controller, const GamepadInfo& info) {
  GamepadState s;
  s.info = info;
  s.a = button(controller, SDL_CONTROLLER_BUTTON_A);
  s.b = button(controller, SDL_CONTROLLER_BUTTON_B);
  s.x = button(controller, SDL_CONTROLLER_BUTTON_X);
  s.y = button(controller, SDL_CONTROLLER_BUTTON_Y);
  s.leftShoulder = button(controller, SDL_CONTROLLER_BUTTON_LEFTSHOULDER);
  s.rightShoulder = button(controller, SDL_CONTROLLER_BUTTON_RIGHTSHOULDER);
  s.leftTrigger = trigger(controller, SDL_CONTROLLER_AXIS_TRIGGERLEFT);
  s.rightTrigger = trigger(controller, SDL_CONTROLLER_AXIS_TRIGGERRIGHT);
  s.leftThumbstickButton = button(controller, SDL_CONTROLLER_BUTTON_LEFTSTICK);
  s.rightThumbstickButton = button(controller, SDL_CONTROLLER_BUTTON_RIGHTSTICK);
  s.dpadUp = button(controller, SDL_CONTROLLER_BUTTON_DPAD_UP);
  s.dpadDown = button(controller, SDL_CONTROLLER_BUTTON_DPAD_DOWN);
  s.dpadLeft = button(controller, SDL_CONTROLLER_BUTTON_DPAD_LEFT);
  s.dpadRight = button(controller, SDL_CONTROLLER_BUTTON_DPAD_RIGHT);
  s.leftStickX = stickValue(SDL_GameControllerGetAxis(controller, SDL_CONTROLLER_AXIS_LEFTX));
  s.leftStickY = -stickValue(SDL_GameControllerGetAxis(controller, SDL_CONTROLLER_AXIS_LEFTY));
  s.rightStickX = stickValue(SDL_GameControllerGetAxis(controller, SDL_CONTROLLER_AXIS_RIGHTX));
  s.rightStickY = -stickValue(SDL_GameControllerGetAxis(controller, SDL_CONTROLLER_AXIS_RIGHTY));
  return s;
}

struct OpenController {
  SDL_GameController* controller;
  GamepadInfo info;
};

}  // namespace

SDLGamepads::SDLGamepads(std::shared_ptr<dispatch::Queue> queue, std::chrono::milliseconds pollInterval)
    : Gamepads(std::move(queue)) {
  thread_ = std::thread([this, pollInterval] { run(pollInterval); });
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return started_; });
}

SDLGamepads::~SDLGamepads() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void SDLGamepads::run(std::chrono::milliseconds pollInterval) {
  pthread_setname_np(pthread_self(), "Gamepads");
  // The host owns its signals; SDL must not install SIGINT/SIGTERM handlers of its own.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  const bool ready = SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER | SDL_INIT_JOYSTICK) == 0;
  if (!ready) logger().error("Could not start SDL game controllers: %s", SDL_GetError());
  {
    std::lock_guard lock(mutex_);
    started_ = true;
  }
  wake_.notify_all();
  if (ready) pumpUntilQuit(pollInterval);
  // SDL keeps per-thread data (its error text) for threads it did not create; free ours.
  SDL_TLSCleanup();
}

void SDLGamepads::pumpUntilQuit(std::chrono::milliseconds pollInterval) {
  std::vector<OpenController> open;
  for (;;) {
    SDL_Event event;
    while (SDL_PollEvent(&event) == 1) {
      if (event.type == SDL_CONTROLLERDEVICEADDED) {
        SDL_GameController* controller = SDL_GameControllerOpen(event.cdevice.which);
        if (controller == nullptr) continue;  // gone again already
        const SDL_JoystickID id = SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(controller));
        const bool known = std::any_of(open.begin(), open.end(),
                                       [&](const OpenController& c) { return c.info.id == id; });
        if (known) {  // SDL announces controllers present at start-up as well; keep one handle
          SDL_GameControllerClose(controller);
          continue;
        }
        GamepadInfo info;
        info.id = id;
        const char* name = SDL_GameControllerName(controller);
        info.name = name != nullptr ? name : "";
        info.vendorID = SDL_GameControllerGetVendor(controller);
        info.productID = SDL_GameControllerGetProduct(controller);
        open.push_back({controller, info});
        addGamepad(readState(controller, info));
      } else if (event.type == SDL_CONTROLLERDEVICEREMOVED) {
        const auto it = std::find_if(open.begin(), open.end(), [&](const OpenController& c) {
          return c.info.id == event.cdevice.which;
        });
        if (it == open.end()) continue;
        SDL_GameControllerClose(it->controller);
        removeGamepad(it->info.id);
        open.erase(it);
      }
    }
    for (const auto& c : open) updateGamepad(readState(c.controller, c.info));

    std::unique_lock lock(mutex_);
    if (wake_.wait_for(lock, pollInterval, [this] { return quit_; })) break;
  }
  // Going away is not an unplug: no events for the controllers still connected.
  for (const auto& c : open) SDL_GameControllerClose(c.controller);
  SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER | SDL_INIT_JOYSTICK);
}

}  // namespace kestrom::gamepads

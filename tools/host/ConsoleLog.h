#pragma once
// The log channel of the headless host's stand-ins for the desktop application and its dialogs.

#include "platform/log/Log.h"

namespace kestrom::headless {

inline const log::Logger& console() {
  static const log::Logger logger("kestrom-host", "Delegate");
  return logger;
}

}  // namespace kestrom::headless

#pragma once
// A launcher for tests and headless runs: keeps every link instead of opening it.

#include <functional>
#include <string>
#include <vector>

#include "platform/launcher/Launcher.h"

namespace kestrom::launcher {

/// Keeps every link and answers success at once (through the main queue).
class RecordingLauncher final : public Launcher {
 public:
  void open(const std::string& uri, std::function<void(bool)> completion) override;
  std::vector<std::string> opened;
};

}  // namespace kestrom::launcher

#pragma once
// Opens a link in the user's default application (browser, mail client). The GIO backend asks
// the desktop; tests install the recording launcher of FakeLauncher.h.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrom::launcher {

class Launcher {
 public:
  virtual ~Launcher() = default;
  /// Hands `uri` to the desktop; `completion` runs on the main queue once the desktop answered.
  virtual void open(const std::string& uri, std::function<void(bool opened)> completion) = 0;
};

/// g_app_info_launch_default_for_uri_async on the main context.
std::shared_ptr<Launcher> makeGioLauncher();

}  // namespace kestrom::launcher

#pragma once
// Handing a file to the desktop: an e-mail with the file attached, or the file shown in the file
// manager. The Linux backend is DesktopShare (xdg-email, the file manager's D-Bus interface);
// FakeShare records what was asked. Main thread.

#include <filesystem>
#include <memory>
#include <string>

namespace kestrom::share {

class Share {
 public:
  virtual ~Share() = default;
  /// True when an e-mail can be composed (offer "E-mail" only then).
  virtual bool canEmail() const = 0;
  /// Starts a new e-mail with `file` attached; false when no composer could be started.
  virtual bool email(const std::filesystem::path& file) = 0;
  /// Shows `file` selected in the file manager; opens its folder when no file manager answers.
  virtual void showInFolder(const std::filesystem::path& file) = 0;
};

}  // namespace kestrom::share

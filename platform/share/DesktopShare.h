#pragma once
// Share over the desktop's own tools: "xdg-email --attach FILE" for e-mail, and the file manager's
// org.freedesktop.FileManager1.ShowItems on the session bus, falling back to opening the file's
// folder through the launcher when no file manager answers. Main thread (D-Bus replies arrive on
// the main context).

#include "platform/launcher/Launcher.h"
#include "platform/share/Share.h"

namespace kestrom::share {

class DesktopShare final : public Share {
 public:
  struct Options {
    /// The e-mail tool; found on PATH ("xdg-email") when empty.
    std::filesystem::path emailProgram;
    /// The session bus to reach the file manager on; the user's session bus when empty.
    std::string busAddress;
    /// Opens the folder when the file manager does not answer.
    std::shared_ptr<launcher::Launcher> launcher;
  };

  explicit DesktopShare(Options options);

  // Share
  bool canEmail() const override;
  bool email(const std::filesystem::path& file) override;
  void showInFolder(const std::filesystem::path& file) override;

 private:
  void openFolder(const std::filesystem::path& file);

  std::filesystem::path emailProgram_;  // empty when there is none
  std::string busAddress_;
  std::shared_ptr<launcher::Launcher> launcher_;
};

}  // namespace kestrom::share

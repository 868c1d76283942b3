#pragma once
// The headless host's stand-in for the desktop's dialogs: no window, so panels end as if the user
// cancelled; alerts and shares are logged. Main queue.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "KestromKit/kit/DialogServices.h"
#include "platform/shell/Dialogs.h"

namespace kestrom::headless {

/// Dialogs without a window: every panel is cancelled, every alert logged and dismissed.
class ConsoleDialogs final : public shell::Dialogs {
 public:
  void runFileDialog(const shell::FileDialogRequest& request,
                     std::function<void(std::optional<std::filesystem::path>)> completion) override;
  void showAlert(const shell::AlertRequest& request, std::function<void()> completion) override;
};

/// The kit's dialog services over ConsoleDialogs, with shares logged.
std::shared_ptr<DialogServices> makeConsoleDialogServices();

}  // namespace kestrom::headless

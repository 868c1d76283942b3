#pragma once
// The headless host's stand-in for the desktop shell: no window, no dialogs. Panels end as if the
// user cancelled; alerts, shares and what the window would show are logged. Main queue.

#include <filesystem>
#include <memory>

#include "KestromKit/kit/DialogServices.h"
#include "KestromKit/kit/KestromKitDelegate.h"
#include "platform/shell/Dialogs.h"

namespace kestrom::headless {

class ConsoleDelegate final : public KestromKitDelegate {
 public:
  explicit ConsoleDelegate(std::filesystem::path bundle) : bundle_(std::move(bundle)) {}

  void setProjectAvailable(bool available) override;
  void setContentViewController(ContentViewController which) override;
  void languageChanged() override;
  std::filesystem::path variantURL() const override { return bundle_ / "variant"; }
  std::filesystem::path contentURL() const override { return bundle_ / "variant/content"; }
  std::filesystem::path webURL() const override { return bundle_ / "variant/web"; }

 private:
  std::filesystem::path bundle_;
};

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

#pragma once
// The headless host's stand-in for the desktop shell: no window, no dialogs. Dialogs end as if
// the user cancelled, alerts and shares are logged. Main queue.

#include <filesystem>

#include "KestromKit/kit/KestromKitDelegate.h"

namespace kestrom::headless {

class ConsoleDelegate final : public KestromKitDelegate {
 public:
  explicit ConsoleDelegate(std::filesystem::path bundle) : bundle_(std::move(bundle)) {}

  void setProjectAvailable(bool available) override;
  void presentDialog(KestromDialogType type, std::function<void(DialogResult)> completion) override;
  void showAlert(KestromAlert alert, std::function<void()> retry) override;
  void setContentViewController(ContentViewController which) override;
  void share(std::vector<std::filesystem::path> items) override;
  void selectMoveDestination(std::function<void(DialogResult)> completion) override;
  void saveFile(std::filesystem::path source, std::function<void(Expected<void, SaveError>)> completion) override;
  void openFile(std::vector<std::string> allowedTypes,
                std::function<void(Expected<OpenedFile, LoadError>)> completion) override;
  void languageChanged() override;
  std::filesystem::path variantURL() const override { return bundle_ / "variant"; }
  std::filesystem::path contentURL() const override { return bundle_ / "variant/content"; }
  std::filesystem::path webURL() const override { return bundle_ / "variant/web"; }

 private:
  std::filesystem::path bundle_;
};

}  // namespace kestrom::headless

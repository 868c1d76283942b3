#pragma once
// The kit's delegate as its services see it when the composition root hands the kit the desktop's
// dialogs: the file panels, the Bluetooth alert and the save, open and move-destination services
// run here over the Dialogs layer; everything else (the window's content, the project menu,
// sharing, the language change, the bundle's folders) goes on to the application's delegate.
// This keeps the panel logic testable with scripted dialogs, without a display.
//
// Home queue: main. Owner: the kit; holds the application's delegate weakly.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KestromKit/kit/KestromKitDelegate.h"
#include "platform/shell/Dialogs.h"

namespace kestrom {

class DelegateServices final : public KestromKitDelegate {
 public:
  struct Options {
    std::shared_ptr<shell::Dialogs> dialogs;
    /// The Bluetooth alert's texts, asked for each time it shows (the language may change).
    std::function<shell::AlertRequest()> bluetoothAlert;
    /// What open and save panels offer when the kit names no types: the bundle's project types.
    std::function<std::vector<std::string>()> exportedFileExtensions;
  };

  DelegateServices(std::weak_ptr<KestromKitDelegate> application, Options options);

  // ProjectsDelegate
  void setProjectAvailable(bool available) override;
  void presentDialog(KestromDialogType type, std::function<void(DialogResult)> completion) override;
  void share(std::vector<std::filesystem::path> items) override;
  void selectMoveDestination(std::function<void(DialogResult)> completion) override;
  // HubServiceDelegate
  void showAlert(KestromAlert alert, std::function<void()> retry) override;
  // WebViewControllerDelegate
  void setContentViewController(ContentViewController which) override;
  void saveFile(std::filesystem::path source, std::function<void(Expected<void, SaveError>)> completion) override;
  void openFile(std::vector<std::string> allowedTypes,
                std::function<void(Expected<OpenedFile, LoadError>)> completion) override;
  std::filesystem::path webURL() const override;
  // KestromKitDelegate
  void languageChanged() override;
  std::filesystem::path variantURL() const override;
  std::filesystem::path contentURL() const override;

 private:
  std::vector<std::string> exported() const;

  std::weak_ptr<KestromKitDelegate> application_;
  Options options_;
};

}  // namespace kestrom

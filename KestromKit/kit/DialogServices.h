#pragma once
// The desktop's dialogs as the kit's services ask for them: the four file panels, the Bluetooth
// alert, the share picker, and the save and open services of the file routes. One object serves
// the projects handler, the hub service and the web view controller; the composition root builds
// it over the Dialogs layer (GTK panels in the application, scripted ones in tests, none at all
// headless: every panel is then cancelled).
//
// Home queue: main (every request, every completion). The file work of the save and open services
// (moving the saved file into place, reading the chosen file) runs on the "DialogServices" queue,
// so a large file or a slow disk never holds up the window. Owner: the kit; the services hold it
// weakly.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KestromKit/host/WebViewControllerDelegate.h"
#include "KestromKit/hubs/HubServiceDelegate.h"
#include "KestromKit/storage/ProjectsDelegate.h"
#include "platform/dispatch/Queue.h"
#include "platform/shell/Dialogs.h"

namespace kestrom {

class DialogServices final : public ProjectsDelegate,
                             public HubServiceDelegate,
                             public WebViewControllerDelegate {
 public:
  struct Options {
    /// The panels and alerts; none: every panel ends as cancelled, alerts are not shown.
    std::shared_ptr<shell::Dialogs> dialogs;
    /// The Bluetooth alert's texts, asked for each time it shows (the language may change).
    std::function<shell::AlertRequest()> bluetoothAlert;
    /// What open and save panels offer when the kit names no types: the bundle's project types.
    std::function<std::vector<std::string>()> exportedFileExtensions;
    /// The share picker for a project's file; none: nothing is shown.
    std::function<void(std::vector<std::filesystem::path>)> share;
    /// Where the save and open services move and read files; a serial queue of its own when empty.
    std::shared_ptr<dispatch::Queue> fileQueue;
  };

  explicit DialogServices(Options options);

  // ProjectsDelegate
  void presentDialog(KestromDialogType type, std::function<void(DialogResult)> completion) override;
  void share(std::vector<std::filesystem::path> items) override;
  void selectMoveDestination(std::function<void(DialogResult)> completion) override;
  // HubServiceDelegate
  void showAlert(KestromAlert alert, std::function<void()> retry) override;
  // WebViewControllerDelegate
  void saveFile(std::filesystem::path source, std::function<void(Expected<void, SaveError>)> completion) override;
  void openFile(std::vector<std::string> allowedTypes,
                std::function<void(Expected<OpenedFile, LoadError>)> completion) override;

 private:
  using Chosen = std::optional<std::filesystem::path>;
  std::vector<std::string> exported() const;
  /// Runs the panel of `request`; a save panel's choice carries one of its extensions.
  void runFileDialog(shell::FileDialogRequest request, std::function<void(Chosen)> completion);

  Options options_;
};

/// `chosen` as a save panel that allows only `extensions` keeps it: unchanged when it already
/// ends in one of them (letter case aside), else with the first appended ("MyRobot" gives
/// "MyRobot.kpr"). Any `chosen` when `extensions` is empty.
std::filesystem::path withAllowedExtension(const std::filesystem::path& chosen,
                                           const std::vector<std::string>& extensions);

}  // namespace kestrom

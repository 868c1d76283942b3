#pragma once
// The native dialogs the application shows for the kit: file panels and alerts, each attached to
// the main window. The GTK backend is GtkDialogs; tests script the answers. Main thread only;
// every completion runs once, on the main thread.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrom::shell {

struct FileDialogRequest {
  enum class Kind { open, save, selectFolder, move };
  Kind kind = Kind::open;
  std::vector<std::string> allowedExtensions;  // without dots; empty: any file
  std::optional<std::string> suggestedName;    // save only
  std::optional<std::filesystem::path> initialFolder;
};

struct AlertRequest {
  std::string message;
  std::string informative;
  std::string button;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  /// `completion` gets the chosen file or folder, or nothing when the user cancelled.
  virtual void runFileDialog(const FileDialogRequest& request,
                             std::function<void(std::optional<std::filesystem::path>)> completion) = 0;
  /// `completion` runs when the alert is dismissed.
  virtual void showAlert(const AlertRequest& request, std::function<void()> completion) = 0;
};

}  // namespace kestrom::shell

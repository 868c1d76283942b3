#pragma once
// File panels (GtkFileChooserNative: the desktop portal's dialog when there is one) and alerts
// (GtkMessageDialog), modal to the main window. Main thread; owned by the application delegate.

#include "platform/shell/Dialogs.h"

typedef struct _GtkWindow GtkWindow;

namespace kestrom::shell {

class GtkDialogs final : public Dialogs {
 public:
  explicit GtkDialogs(GtkWindow* parent) : parent_(parent) {}

  void runFileDialog(const FileDialogRequest& request,
                     std::function<void(std::optional<std::filesystem::path>)> completion) override;
  void showAlert(const AlertRequest& request, std::function<void()> completion) override;

 private:
  GtkWindow* parent_;  // the main window; lives as long as the application
};

}  // namespace kestrom::shell

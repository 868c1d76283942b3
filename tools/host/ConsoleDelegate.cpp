#include "tools/host/ConsoleDelegate.h"

#include "platform/log/Log.h"

namespace kestrom::headless {

namespace {
const log::Logger& console() {
  static const log::Logger logger("kestrom-host", "Delegate");
  return logger;
}
}  // namespace

void ConsoleDelegate::setProjectAvailable(bool available) {
  console().info("Project menu items %s", available ? "shown" : "hidden");
}

void ConsoleDelegate::presentDialog(KestromDialogType, std::function<void(DialogResult)> completion) {
  console().info("No dialogs without a window: cancelled");
  completion(makeUnexpected(std::string("The user cancelled the dialog.")));
}

void ConsoleDelegate::showAlert(KestromAlert, std::function<void()>) { console().info("Alert: Bluetooth is needed"); }

void ConsoleDelegate::setContentViewController(ContentViewController which) {
  console().info("Showing the %s", which == ContentViewController::loading ? "loading view" : "web view");
}

void ConsoleDelegate::share(std::vector<std::filesystem::path> items) {
  for (const auto& item : items) console().info("Share: %s", item.string());
}

void ConsoleDelegate::selectMoveDestination(std::function<void(DialogResult)> completion) {
  completion(makeUnexpected(std::string("The user cancelled the dialog.")));
}

void ConsoleDelegate::saveFile(std::filesystem::path, std::function<void(Expected<void, SaveError>)> completion) {
  completion(makeUnexpected(SaveError::userCancelled));
}

void ConsoleDelegate::openFile(std::vector<std::string>, std::function<void(Expected<OpenedFile, LoadError>)> completion) {
  completion(makeUnexpected(LoadError::userCancelled));
}

void ConsoleDelegate::languageChanged() { console().info("The interface language changed"); }

}  // namespace kestrom::headless

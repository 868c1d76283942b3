#include "tools/host/ConsoleDialogs.h"

#include "platform/dispatch/Queue.h"
#include "tools/host/ConsoleLog.h"

namespace kestrom::headless {

void ConsoleDialogs::runFileDialog(const shell::FileDialogRequest&,
                                   std::function<void(std::optional<std::filesystem::path>)> completion) {
  console().info("No dialogs without a window: cancelled");
  dispatch::mainQueue()->async([completion = std::move(completion)] { completion(std::nullopt); });
}

void ConsoleDialogs::showAlert(const shell::AlertRequest& request, std::function<void()>) {
  console().info("Alert: %s", request.message);
}

std::shared_ptr<DialogServices> makeConsoleDialogServices() {
  return std::make_shared<DialogServices>(DialogServices::Options{
      .dialogs = std::make_shared<ConsoleDialogs>(),
      .bluetoothAlert = [] { return shell::AlertRequest{"Bluetooth is needed", "", "OK"}; },
      .exportedFileExtensions = {},
      .share =
          [](std::vector<std::filesystem::path> items) {
            for (const auto& item : items) console().info("Share: %s", item.string());
          },
      .fileQueue = nullptr,
  });
}

}  // namespace kestrom::headless

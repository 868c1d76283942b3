#include "KestromKit/kit/ShellService.h"

#include "KestromKit/base/Constants.h"
#include "KestromKit/base/PathCheck.h"
#include "KestromKit/storage/ChosenFolders.h"
#include "platform/bookmarks/Bookmarks.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace fs = std::filesystem;
using ResponseCase = RPC::Response::Case;

ShellService::ShellService(std::shared_ptr<RPCInterface> interface, std::shared_ptr<DialogServices> dialogServices,
                           std::weak_ptr<KestromKitDelegate> delegate)
    : interface_(std::move(interface)), dialogServices_(std::move(dialogServices)), delegate_(std::move(delegate)) {}

void ShellService::selectFolder(const std::string& id, const RPCRequestDeviceSelectFolderParams& params) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  const auto& home = Constants::path().macOS.home;
  fs::path folder = home;
  if (params.initialFolder) {
    switch (*params.initialFolder) {
      case DeviceSystemFolder::desktop: folder = home / "Desktop"; break;
      case DeviceSystemFolder::documents: folder = home / "Documents"; break;
      case DeviceSystemFolder::home: break;
      case DeviceSystemFolder::sandboxDocuments: folder = Constants::documentsFolder(); break;
    }
  }
  auto reply = [interface = interface_, id](std::optional<fs::path> chosen) {
    RPCResponseDeviceSelectFolderParams result;
    if (chosen) {
      ChosenFolders::shared().add(*chosen);
      result.path = IHostPath{bookmarks::makeBookmark(*chosen), Constants::tildePath(*chosen)};
    }
    interface->send(RPC::Response::make<ResponseCase::deviceSelectFolder>(id, std::move(result)));
  };
  if (params.initialPath) {
    auto relative = checkRelativePath(*params.initialPath, {.allowLeadingSlash = false});
    if (!relative) {
      reply(std::nullopt);
      return;
    }
    folder /= *relative;
  }
  if (params.interactive) {
    dialogServices_->presentDialog({KestromDialogType::SelectFolder{folder}}, [reply](DialogResult result) {
      reply(result ? std::optional<fs::path>(*result) : std::nullopt);
    });
    return;
  }
  std::error_code error;
  fs::create_directories(folder, error);
  reply(folder);
}

void ShellService::setProjectItemsAvailable(const std::string& id, bool available) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (auto delegate = delegate_.lock()) delegate->setProjectAvailable(available);
  if (available)
    interface_->send(RPC::Response::make<ResponseCase::menuShowProjectItems>(id));
  else
    interface_->send(RPC::Response::make<ResponseCase::menuHideProjectItems>(id));
}

void ShellService::requestRating() {
  Constants::log().general.info("A rating was requested; this desktop has no store to ask");
}

}  // namespace kestrom

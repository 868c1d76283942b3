// The request the kit answers itself: "device/selectFolder", which asks the shell for a folder.

#include "KestromKit/kit/KestromKit.h"
#include "KestromKit/base/PathCheck.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/ChosenFolders.h"
#include "KestromKit/server/WebAppRPCConnection.h"
#include "platform/bookmarks/Bookmarks.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace fs = std::filesystem;
using ResponseCase = RPC::Response::Case;

void KestromKit::deviceSelectFolder(const std::string& id, const RPCRequestDeviceSelectFolderParams& params) {
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
  auto reply = [interface = rpcConnection_, id](std::optional<fs::path> chosen) {
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

}  // namespace kestrom

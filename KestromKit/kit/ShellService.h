#pragma once
// The page's requests the desktop shell answers: the folder panel of "device/selectFolder", the
// menu items that need an open project, and the store's rating request (which Linux has no store
// for).
//
// Home queue: main. Owner: the kit, for the life of the process.

#include <memory>
#include <string>

#include "KestromKit/kit/DialogServices.h"
#include "KestromKit/kit/KestromKitDelegate.h"
#include "KestromKit/model/RequestRecords.h"
#include "KestromKit/rpc/RPCInterface.h"

namespace kestrom {

class ShellService {
 public:
  ShellService(std::shared_ptr<RPCInterface> interface, std::shared_ptr<DialogServices> dialogServices,
               std::weak_ptr<KestromKitDelegate> delegate);

  /// Answers with the folder chosen in the panel (or, when not interactive, the folder itself,
  /// made if missing), as a bookmark and its "~" path; no path when cancelled or refused.
  void selectFolder(const std::string& id, const RPCRequestDeviceSelectFolderParams& params);
  /// "/menu/showProjectItems" (`available`) and "/menu/hideProjectItems".
  void setProjectItemsAvailable(const std::string& id, bool available);
  /// There is no store to ask for a rating on Linux; like the store's own request, no reply.
  void requestRating();

 private:
  const std::shared_ptr<RPCInterface> interface_;
  const std::shared_ptr<DialogServices> dialogServices_;
  const std::weak_ptr<KestromKitDelegate> delegate_;
};

}  // namespace kestrom

#pragma once
// Answers the page's content requests on top of the content handler: downloads waiting for their
// reply, and whether the prepacked content must be copied at start. Home queue:
// "ContentServiceQueue" (`queue()`), where `downloadingInterfaces` lives. Owned by the kit.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "KestromKit/model/RequestRecords.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/storage/ContentHandler.h"
#include "platform/launcher/Launcher.h"

namespace kestrom {

class ContentService : public std::enable_shared_from_this<ContentService> {
 public:
  /// `launcher` opens the page's external links; none refuses them.
  explicit ContentService(std::shared_ptr<ContentHandler> contentHandler,
                          std::shared_ptr<launcher::Launcher> launcher = nullptr);

  const std::shared_ptr<ContentHandler>& contentHandler() const { return contentHandler_; }
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  /// True unless the installed and the prepacked "versions.json" hold equal version records.
  bool needsPrepackedContentCopy() const;
  /// Receives what the start-up copy sends to its loop-back: on the "/content/restorecontent"
  /// result it runs `continuation`; notifications and error replies are ignored.
  static void continueAfterPrepackedCopy(const RPCMessage& message, const std::function<void()>& continuation);

  // The page's "/content/..." requests, on main; each answers through `interface`.
  void downloadResource(const std::string& id, const RPCRequestContentDownloadResourceParams& params,
                        std::shared_ptr<RPCInterface> interface);
  void writeTmpResource(const std::string& id, RPCRequestContentWriteTmpResourceParams params,
                        std::shared_ptr<RPCInterface> interface);
  void writeResource(const std::string& id, RPCRequestContentWriteResourceParams params,
                     std::shared_ptr<RPCInterface> interface);
  void confirmDownloadResource(const std::string& id, const RPCRequestContentConfirmDownloadResourceParams& params,
                               RPCInterface& interface);
  void cancelDownloadResources(const std::string& id, const RPCRequestContentCancelDownloadResourcesParams& params,
                               RPCInterface& interface);
  void cleanTemp(const std::string& id, const RPCRequestContentCleanTempParams& params, RPCInterface& interface);
  /// "/content/restorecontent" (`restore`) and "/content/deletecontent": both put the prepacked
  /// content back; the notification goes out before the reply.
  void restoreContent(const std::string& id, bool restore, std::shared_ptr<RPCInterface> interface);
  void openExternalLink(const std::string& id, const RPCRequestContentOpenExternalLinkParams& params,
                        std::shared_ptr<RPCInterface> interface);

  /// Records who asked for a download, on the service's queue.
  void addDownloadingInterface(const std::string& requestID, std::shared_ptr<RPCInterface> interface);
  /// Answers the download's request through the interface that asked and forgets it.
  void downloadFinished(const std::string& requestID, bool success, const std::string& tmpID,
                        const std::string& localPath);

 private:
  void write(const std::string& id, RPC::Response::Case kind, std::string localPath, std::string resource,
             std::optional<std::string> tmpID, std::shared_ptr<RPCInterface> interface);

  std::shared_ptr<ContentHandler> contentHandler_;
  std::shared_ptr<launcher::Launcher> launcher_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::map<std::string, std::shared_ptr<RPCInterface>> downloadingInterfaces_;  // on queue_
};

}  // namespace kestrom

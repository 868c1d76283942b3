#pragma once
// Answers the page's content requests on top of the content handler: downloads waiting for their
// reply, and whether the prepacked content must be copied at start. Home queue:
// "ContentServiceQueue" (`queue()`), where `downloadingInterfaces` lives. Owned by the kit.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/storage/ContentHandler.h"

namespace kestrom {

class ContentService {
 public:
  explicit ContentService(std::shared_ptr<ContentHandler> contentHandler);

  const std::shared_ptr<ContentHandler>& contentHandler() const { return contentHandler_; }
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  /// True unless the installed and the prepacked "versions.json" hold equal version records.
  bool needsPrepackedContentCopy() const;
  /// Receives what the start-up copy sends to its loop-back: on the "/content/restorecontent"
  /// result it runs `continuation`; notifications and error replies are ignored.
  static void continueAfterPrepackedCopy(const RPCMessage& message, const std::function<void()>& continuation);

  /// Records who asked for a download, on the service's queue.
  void addDownloadingInterface(const std::string& requestID, std::shared_ptr<RPCInterface> interface);
  /// Answers the download's request through the interface that asked and forgets it.
  void downloadFinished(const std::string& requestID, bool success, const std::string& tmpID,
                        const std::string& localPath);

 private:
  std::shared_ptr<ContentHandler> contentHandler_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::map<std::string, std::shared_ptr<RPCInterface>> downloadingInterfaces_;  // on queue_
};

}  // namespace kestrom

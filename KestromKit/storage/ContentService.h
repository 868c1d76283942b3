#pragma once
// Answers the page's content requests on top of the content handler: downloads waiting for their
// reply, and whether the prepacked content must be copied at start. Home queue: main. Requests
// arrive there, and every reply of a write or a download is sent from there, in the order the
// content queue finished them. Owned by the kit.

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

  /// True unless every "contentStackVersion" entry of the variant's "versions.json" is in the
  /// installed one with the same value; a missing or undecodable file on either side means true.
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
  /// Answers {} at once: the waiting downloads of the tmpId are dropped unanswered, the one in
  /// flight stops and its request gets its error reply.
  void cancelDownloadResources(const std::string& id, const RPCRequestContentCancelDownloadResourcesParams& params,
                               RPCInterface& interface);
  /// Removes the area on the content queue, after the downloads still writing into it; answers
  /// from main.
  void cleanTemp(const std::string& id, const RPCRequestContentCleanTempParams& params,
                 std::shared_ptr<RPCInterface> interface);
  /// "/content/restorecontent" (`restore`) and "/content/deletecontent": both put the prepacked
  /// content back; the notification goes out before the reply.
  void restoreContent(const std::string& id, bool restore, std::shared_ptr<RPCInterface> interface);
  void openExternalLink(const std::string& id, const RPCRequestContentOpenExternalLinkParams& params,
                        std::shared_ptr<RPCInterface> interface);

  /// The download requests waiting for their reply (main).
  std::size_t pendingDownloadReplies() const { return downloadingInterfaces_.size(); }

 private:
  /// Answers the download's request through the interface that asked and forgets it (main).
  void replyDownloadResource(const std::string& requestID, bool success, const std::string& tmpID,
                             const std::string& localPath, const std::shared_ptr<RPCInterface>& interface);
  void write(const std::string& id, RPC::Response::Case kind, std::string localPath, std::string resource,
             std::optional<std::string> tmpID, std::shared_ptr<RPCInterface> interface);

  std::shared_ptr<ContentHandler> contentHandler_;
  std::shared_ptr<launcher::Launcher> launcher_;
  std::map<std::string, std::shared_ptr<RPCInterface>> downloadingInterfaces_;  // main
};

}  // namespace kestrom

#pragma once
// Answers the page's content requests on top of the content handler: downloads waiting for their
// reply, and whether the prepacked content must be copied at start. Home queue: main. Requests
// arrive there, and every reply of a write or a download is sent from there, in the order the
// content queue finished them. Owned by the kit.

#include <functional>
#include <set>
#include <memory>
#include <string>

#include "KestromKit/model/RequestRecords.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/storage/ContentHandler.h"
#include "platform/launcher/Launcher.h"

namespace kestrom {

class ContentService : public std::enable_shared_from_this<ContentService> {
 public:
  /// Answers through `interface`; `launcher` opens the page's external links, none refuses them.
  ContentService(std::shared_ptr<ContentHandler> contentHandler, std::shared_ptr<RPCInterface> interface,
                 std::shared_ptr<launcher::Launcher> launcher = nullptr);

  /// True unless every "contentStackVersion" entry of the variant's "versions.json" is in the
  /// installed one with the same value; a missing or undecodable file on either side means true.
  bool needsPrepackedContentCopy() const;

  // The page's "/content/..." requests, on main.
  void downloadResource(const std::string& id, const RPCRequestContentDownloadResourceParams& params);
  void writeTmpResource(const std::string& id, RPCRequestContentWriteTmpResourceParams params);
  void writeResource(const std::string& id, RPCRequestContentWriteResourceParams params);
  void confirmDownloadResource(const std::string& id, const RPCRequestContentConfirmDownloadResourceParams& params);
  /// Answers {} at once: the waiting downloads of the tmpId are dropped unanswered, the one in
  /// flight stops and its request gets its error reply.
  void cancelDownloadResources(const std::string& id, const RPCRequestContentCancelDownloadResourcesParams& params);
  /// Removes the area on the content queue, after the downloads still writing into it; answers
  /// from main.
  void cleanTemp(const std::string& id, const RPCRequestContentCleanTempParams& params);
  /// "/content/restorecontent" (`restore`) and "/content/deletecontent": both put the prepacked
  /// content back; the notification goes out before the reply.
  void restoreContent(const std::string& id, bool restore);
  void openExternalLink(const std::string& id, const RPCRequestContentOpenExternalLinkParams& params);

  /// The download requests waiting for their reply (main).
  std::size_t pendingDownloadReplies() const { return awaitingReply_.size(); }

 private:
  /// Answers the download's request and forgets it (main).
  void replyDownloadResource(const std::string& requestID, bool success, const std::string& tmpID,
                             const std::string& localPath);
  void write(const std::string& id, RPC::Response::Case kind, std::string localPath, std::string resource,
             std::optional<std::string> tmpID);

  std::shared_ptr<ContentHandler> contentHandler_;
  const std::shared_ptr<RPCInterface> interface_;
  std::shared_ptr<launcher::Launcher> launcher_;
  std::set<std::string> awaitingReply_;  // main: the download requests not yet answered
};

}  // namespace kestrom

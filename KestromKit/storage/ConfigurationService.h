#pragma once
// Sends the host's description to the page, as the "/configuration/changed" notification, when
// the page asks for it.

#include <memory>
#include <string>

#include "KestromKit/model/Configuration.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/storage/ConfigurationHandler.h"

namespace kestrom {

/// Kept by the kit beside the configuration handler. Main queue.
class ConfigurationService {
 public:
  ConfigurationService(std::shared_ptr<ConfigurationHandler> configurationHandler,
                       std::shared_ptr<RPCInterface> interface);

  /// "/configuration/request": the "/configuration/changed" notification, then the empty reply.
  void request(const std::string& id) const;

  /// Sends `configuration` as the "/configuration/changed" notification through `interface`.
  static void sendConfigurationChanged(Configuration configuration, RPCInterface& interface);

 private:
  std::shared_ptr<ConfigurationHandler> configurationHandler_;
  std::shared_ptr<RPCInterface> interface_;
};

}  // namespace kestrom

#include "KestromKit/storage/ConfigurationService.h"

#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

ConfigurationService::ConfigurationService(std::shared_ptr<ConfigurationHandler> configurationHandler,
                                           std::shared_ptr<RPCInterface> interface)
    : configurationHandler_(std::move(configurationHandler)), interface_(std::move(interface)) {}

void ConfigurationService::request(const std::string& id) const {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  sendConfigurationChanged(configurationHandler_->configuration(), *interface_);
  interface_->send(RPC::Response::make<RPC::Response::Case::configurationRequest>(id));
}

void ConfigurationService::sendConfigurationChanged(Configuration configuration, RPCInterface& interface) {
  interface.send(RPCMessage(
      RPC::Notification::make<RPC::Notification::Case::configurationChanged>(std::move(configuration))));
}

}  // namespace kestrom

#include "KestromKit/model/Configuration.h"

#include <string>

namespace kestrom {

RPCNotifyConfigurationChangedParams Configuration::params() const {
  RPCNotifyConfigurationChangedParams params;
  params.configuration.host = host;
  params.configuration.host.hostBuild = host.hostBuild.value_or(std::string());
  for (const auto& [name, setting] : userSettings) params.configuration.userSettings[name] = IUserSetting{setting.value};
  return params;
}

Expected<Json, CodingError> Configuration::jsonObject() const { return encode(params()); }

}  // namespace kestrom

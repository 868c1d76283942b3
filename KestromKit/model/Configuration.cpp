#include "KestromKit/model/Configuration.h"

#include <string>

namespace kestrom {

Json Configuration::jsonObject() const {
  Json hostObject = Json::object();
  hostObject["currentLanguage"] = host.currentLanguage;
  hostObject["deviceModelDescription"] = host.deviceModelDescription;
  hostObject["deviceType"] = std::string(rawValue(host.deviceType));
  hostObject["hasUSB"] = host.hasUSB;
  hostObject["hostBuild"] = host.hostBuild.value_or(std::string());
  hostObject["hostVersion"] = host.hostVersion;
  hostObject["operatingSystemDescription"] = host.operatingSystemDescription;
  hostObject["platform"] = std::string(rawValue(host.platform));
  if (host.projectFolderPath) hostObject["projectFolderPath"] = *host.projectFolderPath;
  if (host.projectFolderStatus) hostObject["projectFolderStatus"] = std::string(rawValue(*host.projectFolderStatus));
  hostObject["region"] = host.region;
  hostObject["supportsReleaseChannels"] = host.supportsReleaseChannels;

  Json settings = Json::object();
  for (const auto& [name, setting] : userSettings) {
    Json wrapped = Json::object();
    wrapped["value"] = setting.value.value;
    settings[name] = std::move(wrapped);
  }

  Json configuration = Json::object();
  configuration["host"] = std::move(hostObject);
  configuration["userSettings"] = std::move(settings);
  Json tree = Json::object();
  tree["configuration"] = std::move(configuration);
  return tree;
}

}  // namespace kestrom

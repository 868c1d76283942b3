#include "KestromKit/storage/ConfigurationHandler.h"

#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/rpc/RPCNotification.h"
#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/ProjectsHandler.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace {

constexpr const char* kLanguageSetting = "ui.language";

ConfigurationHandler::ProjectFolderSource readFrom(const std::shared_ptr<ProjectsHandler>& projectsHandler) {
  return [library = projectsHandler->library()] { return library->projectFolderState(); };
}

}  // namespace

std::string trimmedVersion(const std::string& version) {
  static constexpr std::string_view kKept = "0123456789.";
  const auto first = version.find_first_of(kKept);
  if (first == std::string::npos) return {};
  const auto last = version.find_last_of(kKept);
  return version.substr(first, last - first + 1);
}

ConfigurationHandler::ConfigurationHandler(PartialIAppConfig appConfig, std::shared_ptr<SettingValueStore> settingStore,
                                           ProjectFolderSource projectFolder, PlatformType platform,
                                           HostEnvironment environment)
    : appConfig_(std::move(appConfig)),
      settingStore_(std::move(settingStore)),
      settingsHandler_{settingStore_},
      projectFolder_(std::move(projectFolder)),
      platform_(platform),
      environment_(std::move(environment)),
      version_(trimmedVersion(appConfig_.version)),
      defaultLanguage_(appConfig_.defaultLanguage) {}

ConfigurationHandler::ConfigurationHandler(PartialIAppConfig appConfig, std::shared_ptr<SettingValueStore> settingStore,
                                           std::shared_ptr<ProjectsHandler> projectsHandler, PlatformType platform,
                                           HostEnvironment environment)
    : ConfigurationHandler(std::move(appConfig), std::move(settingStore), readFrom(projectsHandler),
                           platform, std::move(environment)) {}

std::string ConfigurationHandler::currentLanguage() const {
  if (auto stored = settingStore_->settingString(kLanguageSetting)) return *stored;
  if (auto preferred = preferredLocalization(appConfig_.availableLanguages, environment_.preferredLanguages()))
    return *preferred;
  return appConfig_.defaultLanguage;
}

void ConfigurationHandler::persistCurrentLanguage() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  const auto stored = settingStore_->settingString(kLanguageSetting);
  const std::string current = currentLanguage();
  if (stored && *stored == current) return;
  (void)settingsHandler_.save(current, kLanguageSetting);  // the store logs a failed write
}

void ConfigurationHandler::setDeviceModel(std::string model) {
  environment_.deviceModel = [model = std::move(model)] { return model; };
}

Configuration ConfigurationHandler::configuration() const {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  const ProjectFolderState folder = projectFolder_ ? projectFolder_() : ProjectFolderState{};

  IHostConfiguration host;
  host.operatingSystemDescription = environment_.operatingSystemDescription();
  host.currentLanguage = currentLanguage();
  host.deviceModelDescription = environment_.deviceModel ? environment_.deviceModel() : "Unknown Mac";
  host.deviceType = DeviceType::desktop;
  host.hasUSB = true;
  host.hostBuild = environment_.hostBuild ? environment_.hostBuild() : std::nullopt;
  host.hostVersion = version_;
  host.platform = platform_;
  host.projectFolderPath = Constants::tildePath(folder.folder);
  host.projectFolderStatus = folder.status;
  host.region = environment_.regionCode().value_or("unknown");
  host.supportsReleaseChannels = false;

  Configuration configuration;
  configuration.host = std::move(host);
  // Taken on the store's queue: a save from another thread can never tear the copy.
  for (auto& [name, value] : settingStore_->store())
    configuration.userSettings.emplace(name, SettingValue{std::move(value)});
  return configuration;
}

void ConfigurationHandler::configuration(const std::function<void(Configuration)>& completion) const {
  if (completion) completion(configuration());
}

}  // namespace kestrom

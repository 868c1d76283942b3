#pragma once
// The host's description for the page ("/configuration/changed") and the choice of the interface
// language.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "KestromKit/base/Expected.h"
#include "KestromKit/model/ConfigRecords.h"
#include "KestromKit/model/IHostConfiguration.h"
#include "KestromKit/model/Configuration.h"
#include "KestromKit/storage/HostEnvironment.h"
#include "KestromKit/storage/ProjectFolder.h"
#include "KestromKit/storage/SettingValueStore.h"
#include "KestromKit/storage/SettingsHandler.h"

namespace kestrom {

class ProjectsHandler;

/// Gathers the kit's Configuration (host facts plus every stored setting) and decides the
/// interface language. Holds nothing that changes: every call reads the settings, the project
/// folder and the session afresh.
///
/// Home queue: the main queue for `configuration` and `persistCurrentLanguage`; language reads and
/// writes enter the settings store's queue synchronously. `defaultLanguage()` and `version()` are
/// fixed at creation and may be read from any thread (the HTTP server does, for every request).
/// Owner: the kit, one per process.
class ConfigurationHandler {
 public:
  using ProjectFolderSource = std::function<ProjectFolderState()>;

  ConfigurationHandler(PartialIAppConfig appConfig, std::shared_ptr<SettingValueStore> settingStore,
                       ProjectFolderSource projectFolder, PlatformType platform,
                       HostEnvironment environment = HostEnvironment::system());
  /// Reads the project folder and its status from the projects handler's project library, afresh
  /// at every call.
  ConfigurationHandler(PartialIAppConfig appConfig, std::shared_ptr<SettingValueStore> settingStore,
                       std::shared_ptr<ProjectsHandler> projectsHandler, PlatformType platform,
                       HostEnvironment environment = HostEnvironment::system());

  const PartialIAppConfig& appConfig() const { return appConfig_; }
  PlatformType platform() const { return platform_; }
  /// The configured version without the non-numeric text at its ends ("3.4.0-beta" -> "3.4.0").
  const std::string& version() const { return version_; }
  /// The configured default language, as the boot URL carries it (not the current language).
  const std::string& defaultLanguage() const { return defaultLanguage_; }

  /// The stored "ui.language", else the first of the configured languages the user prefers,
  /// else the default language.
  std::string currentLanguage() const;
  /// Stores the current language as "ui.language" unless the store holds it already, so the
  /// language picked at the first start stays. A failed write is logged by the store.
  void persistCurrentLanguage();

  /// Replaces the model-name source with a fixed name (the kit's device service reads it once).
  /// Main queue, before the first `configuration`.
  void setDeviceModel(std::string model);

  /// Builds the Configuration and hands it to `completion` before returning.
  void configuration(const std::function<void(Configuration)>& completion) const;
  Configuration configuration() const;

 private:
  PartialIAppConfig appConfig_;
  std::shared_ptr<SettingValueStore> settingStore_;
  SettingsHandler settingsHandler_;
  ProjectFolderSource projectFolder_;
  PlatformType platform_;
  HostEnvironment environment_;
  const std::string version_;
  const std::string defaultLanguage_;
};

/// `version` with every leading and trailing character outside "0123456789." removed; inner
/// characters stay ("3.4.0-beta.1" stays whole).
std::string trimmedVersion(const std::string& version);

}  // namespace kestrom

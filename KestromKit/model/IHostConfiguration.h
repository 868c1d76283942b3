#pragma once
// The host as described to the page in "/configuration/changed", and the enumerations it uses.

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/CommonRecords.h"

namespace kestrom {

enum class DeviceType { desktop, phone, tablet };

template <>
struct EnumTable<DeviceType> {
  static constexpr std::array<std::pair<DeviceType, std::string_view>, 3> values{{
      {DeviceType::desktop, "desktop"},
      {DeviceType::phone, "phone"},
      {DeviceType::tablet, "tablet"},
  }};
};

/// The platforms the page knows. This host reports `macos` (the channel of the desktop build the
/// page expects); the others exist only so that every value the page knows round-trips.
enum class PlatformType { android, chrome, electron, empty, ios, macos, macosappstore, win10I, win10S };

template <>
struct EnumTable<PlatformType> {
  static constexpr std::array<std::pair<PlatformType, std::string_view>, 9> values{{
      {PlatformType::android, "android"},
      {PlatformType::chrome, "chrome"},
      {PlatformType::electron, "electron"},
      {PlatformType::empty, ""},
      {PlatformType::ios, "ios"},
      {PlatformType::macos, "macos"},
      {PlatformType::macosappstore, "macosappstore"},
      {PlatformType::win10I, "win10i"},
      {PlatformType::win10S, "win10s"},
  }};
};

enum class ProjectFolderStatus { missing, needsMigration, ok };

template <>
struct EnumTable<ProjectFolderStatus> {
  static constexpr std::array<std::pair<ProjectFolderStatus, std::string_view>, 3> values{{
      {ProjectFolderStatus::missing, "missing"},
      {ProjectFolderStatus::needsMigration, "needsMigration"},
      {ProjectFolderStatus::ok, "ok"},
  }};
};

/// What the page is told about the host: 9 keys always, 12 with build and project folder.
struct IHostConfiguration {
  std::string currentLanguage;
  std::string deviceModelDescription;
  DeviceType deviceType = DeviceType::desktop;
  bool hasUSB = false;
  std::optional<std::string> hostBuild;
  std::string hostVersion;
  std::string operatingSystemDescription;
  PlatformType platform = PlatformType::macos;
  std::optional<std::string> projectFolderPath;  // "~"-abbreviated
  std::optional<ProjectFolderStatus> projectFolderStatus;
  std::string region;
  bool supportsReleaseChannels = false;

  friend bool operator==(const IHostConfiguration&, const IHostConfiguration&) = default;
  static constexpr auto codingFields() {
    using S = IHostConfiguration;
    return std::tuple{field("currentLanguage", &S::currentLanguage),
                      field("deviceModelDescription", &S::deviceModelDescription),
                      field("deviceType", &S::deviceType),
                      field("hasUSB", &S::hasUSB),
                      field("hostBuild", &S::hostBuild),
                      field("hostVersion", &S::hostVersion),
                      field("operatingSystemDescription", &S::operatingSystemDescription),
                      field("platform", &S::platform),
                      field("projectFolderPath", &S::projectFolderPath),
                      field("projectFolderStatus", &S::projectFolderStatus),
                      field("region", &S::region),
                      field("supportsReleaseChannels", &S::supportsReleaseChannels)};
  }
};

/// The tree under "configuration" in "/configuration/changed".
struct IHostConfigAndUserSettings {
  IHostConfiguration host;
  std::map<std::string, IUserSetting> userSettings;

  friend bool operator==(const IHostConfigAndUserSettings&, const IHostConfigAndUserSettings&) = default;
  static constexpr auto codingFields() {
    using S = IHostConfigAndUserSettings;
    return std::tuple{field("host", &S::host), field("userSettings", &S::userSettings)};
  }
};

}  // namespace kestrom

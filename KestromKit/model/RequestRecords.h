#pragma once
// The typed payloads of the requests the page sends, read from the "values" member of a request's
// "params". Methods without a record carry a free JSONObject instead.

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/CommonRecords.h"

namespace kestrom {

// ---- enumerations ------------------------------------------------------------------------------

/// A well-known folder the folder picker may start in.
enum class DeviceSystemFolder { desktop, documents, home, sandboxDocuments };

template <>
struct EnumTable<DeviceSystemFolder> {
  static constexpr std::array<std::pair<DeviceSystemFolder, std::string_view>, 4> values{{
      {DeviceSystemFolder::desktop, "desktop"},
      {DeviceSystemFolder::documents, "documents"},
      {DeviceSystemFolder::home, "home"},
      {DeviceSystemFolder::sandboxDocuments, "sandboxDocuments"},
  }};
};

enum class DeviceOrientation { any, landscapeLeft, landscapeRight, portrait };

template <>
struct EnumTable<DeviceOrientation> {
  static constexpr std::array<std::pair<DeviceOrientation, std::string_view>, 4> values{{
      {DeviceOrientation::any, "any"},
      {DeviceOrientation::landscapeLeft, "landscapeLeft"},
      {DeviceOrientation::landscapeRight, "landscapeRight"},
      {DeviceOrientation::portrait, "portrait"},
  }};
};

// ---- content -----------------------------------------------------------------------------------

struct RPCRequestContentCancelDownloadResourcesParams {
  std::string tmpID;  // the download to cancel

  friend bool operator==(const RPCRequestContentCancelDownloadResourcesParams&,
                         const RPCRequestContentCancelDownloadResourcesParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestContentCancelDownloadResourcesParams;
    return std::tuple{field("tmpId", &S::tmpID)};
  }
};

struct RPCRequestContentCleanTempParams {
  std::string tmpID;

  friend bool operator==(const RPCRequestContentCleanTempParams&, const RPCRequestContentCleanTempParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestContentCleanTempParams;
    return std::tuple{field("tmpId", &S::tmpID)};
  }
};

/// The page's answer to a "/content/codestackrequest" notification, with the same "id" and
/// "language".
struct RPCRequestContentCodestackResponseParams {
  std::optional<std::string> error;
  std::string id;
  std::optional<std::string> image;
  std::string language;

  friend bool operator==(const RPCRequestContentCodestackResponseParams&,
                         const RPCRequestContentCodestackResponseParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestContentCodestackResponseParams;
    return std::tuple{field("error", &S::error), field("id", &S::id), field("image", &S::image),
                      field("language", &S::language)};
  }
};

struct RPCRequestContentConfirmDownloadResourceParams {
  std::string tmpID;

  friend bool operator==(const RPCRequestContentConfirmDownloadResourceParams&,
                         const RPCRequestContentConfirmDownloadResourceParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestContentConfirmDownloadResourceParams;
    return std::tuple{field("tmpId", &S::tmpID)};
  }
};

struct RPCRequestContentDeleteResourceParams {
  std::string localPath;

  friend bool operator==(const RPCRequestContentDeleteResourceParams&,
                         const RPCRequestContentDeleteResourceParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestContentDeleteResourceParams;
    return std::tuple{field("localPath", &S::localPath)};
  }
};

struct RPCRequestContentDownloadResourceParams {
  std::string localPath;  // where the resource goes
  std::string remoteURL;  // the address to fetch
  std::string tmpID;      // names this download again in confirm, cancel and clean-up

  friend bool operator==(const RPCRequestContentDownloadResourceParams&,
                         const RPCRequestContentDownloadResourceParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestContentDownloadResourceParams;
    return std::tuple{field("localPath", &S::localPath), field("remoteUrl", &S::remoteURL),
                      field("tmpId", &S::tmpID)};
  }
};

struct RPCRequestContentOpenExternalLinkParams {
  std::string link;  // opened outside the host

  friend bool operator==(const RPCRequestContentOpenExternalLinkParams&,
                         const RPCRequestContentOpenExternalLinkParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestContentOpenExternalLinkParams;
    return std::tuple{field("link", &S::link)};
  }
};

struct RPCRequestContentWriteResourceParams {
  std::string localPath;
  std::string resource;  // the text to write

  friend bool operator==(const RPCRequestContentWriteResourceParams&,
                         const RPCRequestContentWriteResourceParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestContentWriteResourceParams;
    return std::tuple{field("localPath", &S::localPath), field("resource", &S::resource)};
  }
};

struct RPCRequestContentWriteTmpResourceParams {
  std::string localPath;
  std::string resource;
  std::string tmpID;

  friend bool operator==(const RPCRequestContentWriteTmpResourceParams&,
                         const RPCRequestContentWriteTmpResourceParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestContentWriteTmpResourceParams;
    return std::tuple{field("localPath", &S::localPath), field("resource", &S::resource),
                      field("tmpId", &S::tmpID)};
  }
};

// ---- device and gamepad ------------------------------------------------------------------------

struct RPCRequestDeviceSelectFolderParams {
  std::optional<DeviceSystemFolder> initialFolder;  // where the picker starts
  std::optional<std::string> initialPath;
  bool interactive = false;

  friend bool operator==(const RPCRequestDeviceSelectFolderParams&,
                         const RPCRequestDeviceSelectFolderParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestDeviceSelectFolderParams;
    return std::tuple{field("initialFolder", &S::initialFolder), field("initialPath", &S::initialPath),
                      field("interactive", &S::interactive)};
  }
};

struct RPCRequestDeviceSetOrientationParams {
  DeviceOrientation orientation = DeviceOrientation::any;

  friend bool operator==(const RPCRequestDeviceSetOrientationParams&,
                         const RPCRequestDeviceSetOrientationParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestDeviceSetOrientationParams;
    return std::tuple{field("orientation", &S::orientation)};
  }
};

struct RPCRequestGamepadSubscribeParams {
  double targetHz = 0;  // how often the page wants gamepad snapshots

  friend bool operator==(const RPCRequestGamepadSubscribeParams&, const RPCRequestGamepadSubscribeParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestGamepadSubscribeParams;
    return std::tuple{field("targetHz", &S::targetHz)};
  }
};

// ---- hubs --------------------------------------------------------------------------------------

struct RPCRequestHubConnectParams {
  std::string id;  // a hub that scanning has reported

  friend bool operator==(const RPCRequestHubConnectParams&, const RPCRequestHubConnectParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestHubConnectParams;
    return std::tuple{field("id", &S::id)};
  }
};

struct RPCRequestHubDisconnectParams {
  std::string id;

  friend bool operator==(const RPCRequestHubDisconnectParams&, const RPCRequestHubDisconnectParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestHubDisconnectParams;
    return std::tuple{field("id", &S::id)};
  }
};

struct RPCRequestHubSendParams {
  std::string id;
  std::string message;  // the bytes for the hub, base64

  friend bool operator==(const RPCRequestHubSendParams&, const RPCRequestHubSendParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestHubSendParams;
    return std::tuple{field("id", &S::id), field("message", &S::message)};
  }
};

struct RPCRequestHubStartScanParams {
  std::optional<std::vector<std::string>> bleServices;  // Bluetooth LE services to scan for
  HubConnectionType type = HubConnectionType::bluetoothLowenergy;

  friend bool operator==(const RPCRequestHubStartScanParams&, const RPCRequestHubStartScanParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestHubStartScanParams;
    return std::tuple{field("bleServices", &S::bleServices), field("type", &S::type)};
  }
};

struct RPCRequestHubStopScanParams {
  HubConnectionType type = HubConnectionType::bluetoothLowenergy;

  friend bool operator==(const RPCRequestHubStopScanParams&, const RPCRequestHubStopScanParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestHubStopScanParams;
    return std::tuple{field("type", &S::type)};
  }
};

struct RPCRequestHubFirmwareUpdatingParams {
  double expectedDuration = 0;  // seconds from now until the update should be over

  friend bool operator==(const RPCRequestHubFirmwareUpdatingParams&,
                         const RPCRequestHubFirmwareUpdatingParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestHubFirmwareUpdatingParams;
    return std::tuple{field("expectedDuration", &S::expectedDuration)};
  }
};

// ---- projects and settings ---------------------------------------------------------------------

struct RPCRequestProjectsChangeProjectFolderParams {
  bool migrateProjects = false;
  IHostPath path;  // as the host handed it out in a "device/selectFolder" reply

  friend bool operator==(const RPCRequestProjectsChangeProjectFolderParams&,
                         const RPCRequestProjectsChangeProjectFolderParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestProjectsChangeProjectFolderParams;
    return std::tuple{field("migrateProjects", &S::migrateProjects), field("path", &S::path)};
  }
};

struct RPCRequestProjectsDeleteParams {
  std::string projectID;

  friend bool operator==(const RPCRequestProjectsDeleteParams&, const RPCRequestProjectsDeleteParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestProjectsDeleteParams;
    return std::tuple{field("projectId", &S::projectID)};
  }
};

struct RPCRequestProjectsMoveParams {
  std::string projectID;

  friend bool operator==(const RPCRequestProjectsMoveParams&, const RPCRequestProjectsMoveParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestProjectsMoveParams;
    return std::tuple{field("projectId", &S::projectID)};
  }
};

struct RPCRequestProjectsSaveAsParams {
  std::string projectID;

  friend bool operator==(const RPCRequestProjectsSaveAsParams&, const RPCRequestProjectsSaveAsParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestProjectsSaveAsParams;
    return std::tuple{field("projectId", &S::projectID)};
  }
};

struct RPCRequestProjectsShareParams {
  std::string projectID;

  friend bool operator==(const RPCRequestProjectsShareParams&, const RPCRequestProjectsShareParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestProjectsShareParams;
    return std::tuple{field("projectId", &S::projectID)};
  }
};

struct RPCRequestSettingsSaveParams {
  std::map<std::string, IUserSetting> settings;  // by setting name

  friend bool operator==(const RPCRequestSettingsSaveParams&, const RPCRequestSettingsSaveParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCRequestSettingsSaveParams;
    return std::tuple{field("settings", &S::settings)};
  }
};

}  // namespace kestrom

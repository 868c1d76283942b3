#pragma once
// The typed "result" payloads of the replies that have a fixed shape. Every other method answers
// with a free JSONObject.

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/CommonRecords.h"
#include "KestromKit/model/IDeviceFound.h"

namespace kestrom {

/// One project in the "/projects/list" reply. Dates travel as milliseconds since 1970.
struct RPCProjectItem {
  Date created;
  std::string id;
  Date lastsaved;
  std::string name;
  double size = 0;

  friend bool operator==(const RPCProjectItem&, const RPCProjectItem&) = default;
  static constexpr auto codingFields() {
    using S = RPCProjectItem;
    return std::tuple{field("created", &S::created), field("id", &S::id), field("lastsaved", &S::lastsaved),
                      field("name", &S::name), field("size", &S::size)};
  }
};

/// Reply of "/audio/checkrecordingpermission".
struct RPCResponseAudioCheckRecordingPermissionParams {
  bool granted = false;

  friend bool operator==(const RPCResponseAudioCheckRecordingPermissionParams&,
                         const RPCResponseAudioCheckRecordingPermissionParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCResponseAudioCheckRecordingPermissionParams;
    return std::tuple{field("granted", &S::granted)};
  }
};

/// Reply of "/audio/stoprecording": where the recording was written.
struct RPCResponseAudioStopRecordingParams {
  std::string filePath;

  friend bool operator==(const RPCResponseAudioStopRecordingParams&,
                         const RPCResponseAudioStopRecordingParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCResponseAudioStopRecordingParams;
    return std::tuple{field("filePath", &S::filePath)};
  }
};

/// Reply of "device/selectFolder"; {} when the user chose nothing.
struct RPCResponseDeviceSelectFolderParams {
  std::optional<IHostPath> path;

  friend bool operator==(const RPCResponseDeviceSelectFolderParams&,
                         const RPCResponseDeviceSelectFolderParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCResponseDeviceSelectFolderParams;
    return std::tuple{field("path", &S::path)};
  }
};

/// Reply of "/hub/connections".
struct RPCResponseHubGetConnectionsParams {
  std::vector<IDeviceFound> devices;

  friend bool operator==(const RPCResponseHubGetConnectionsParams&,
                         const RPCResponseHubGetConnectionsParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCResponseHubGetConnectionsParams;
    return std::tuple{field("devices", &S::devices)};
  }
};

/// Reply of "/projects/initialprojects".
struct RPCResponseProjectsRequestInitialProjectsParams {
  std::vector<std::string> projectIDS;

  friend bool operator==(const RPCResponseProjectsRequestInitialProjectsParams&,
                         const RPCResponseProjectsRequestInitialProjectsParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCResponseProjectsRequestInitialProjectsParams;
    return std::tuple{field("projectIds", &S::projectIDS)};
  }
};

/// Reply of "/projects/list".
struct RPCResponseProjectsRequestAllParams {
  std::vector<RPCProjectItem> projects;

  friend bool operator==(const RPCResponseProjectsRequestAllParams&,
                         const RPCResponseProjectsRequestAllParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCResponseProjectsRequestAllParams;
    return std::tuple{field("projects", &S::projects)};
  }
};

/// Reply of "/projects/saveAs"; {} when nothing was saved.
struct RPCResponseProjectsSaveAsParams {
  std::optional<std::string> filePath;

  friend bool operator==(const RPCResponseProjectsSaveAsParams&, const RPCResponseProjectsSaveAsParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCResponseProjectsSaveAsParams;
    return std::tuple{field("filePath", &S::filePath)};
  }
};

}  // namespace kestrom

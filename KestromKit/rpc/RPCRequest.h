#pragma once
// One decoded request of the page channel, and the decoding of a text frame into one.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "KestromKit/base/Expected.h"
#include "KestromKit/rpc/RPCFailure.h"
#include "KestromKit/model/ClientAPI.h"
#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"
#include "KestromKit/model/RequestRecords.h"

namespace kestrom::RPC {

/// One request from the page: which method, the envelope's id, and the method's decoded payload.
/// A plain value, built on the thread that received the frame and moved to the main queue.
class Request {
 public:
  /// One case per request method. The order is the response side's order and differs from the
  /// alphabetical order of ClientAPIRequest.
  enum class Case {
    hubSend,                        // "/hub/send"
    hubStartScan,                   // "/hub/startscan"
    hubStopScan,                    // "/hub/stopscan"
    hubGetConnections,              // "/hub/connections"
    hubConnect,                     // "/hub/connect"
    hubDisconnect,                  // "/hub/disconnect"
    hubFirmwareUpdating,            // "/hub/updatingFirmware"
    hubConnectionsValidate,         // "/hub/connections/validate"
    audioStartRecording,            // "/audio/startrecording"
    audioStopRecording,             // "/audio/stoprecording"
    audioStartReportingLevels,      // "/audio/startreportinglevels"
    audioStopReportingLevels,       // "/audio/stopreportinglevels"
    audioCheckRecordingPermission,  // "/audio/checkrecordingpermission"
    configurationRequest,           // "/configuration/request"
    contentDownloadResource,        // "/content/downloadresource"
    contentWriteTmpResource,        // "/content/writetmpresource"
    contentWriteResource,           // "/content/writeresource"
    contentConfirmDownloadResource, // "/content/confirmdownloadresource"
    contentCancelDownloadResources, // "/content/cancelsdownloadresources"
    contentDeleteResource,          // "/content/deleteresource"
    contentCleanTemp,               // "/content/cleantemp"
    contentRestoreContent,          // "/content/restorecontent"
    contentDeleteContent,           // "/content/deletecontent"
    contentOpenExternalLink,        // "/content/openlink"
    contentCodestackResponse,       // "/content/codestackresponse"
    deviceSetOrientation,           // "device/setorientation"
    deviceSelectFolder,             // "device/selectFolder"
    menuShowProjectItems,           // "/menu/showProjectItems"
    menuHideProjectItems,           // "/menu/hideProjectItems"
    miscPing,                       // "/ping"
    requestRating,                  // "/misc/requestrating"
    moveAppBack,                    // "/misc/moveAppBack"
    projectsDelete,                 // "/projects/delete"
    projectsRequestAll,             // "/projects/list"
    projectsRequestInitialProjects, // "/projects/initialprojects"
    projectsMove,                   // "/projects/move"
    projectsSaveAs,                 // "/projects/saveAs"
    projectsShowOpenDialog,         // "/projects/showOpenDialog"
    projectsChangeProjectFolder,    // "/projects/changeProjectFolder"
    projectsShare,                  // "/projects/share"
    enablePythonKeyboard,           // "/python/enablepythonkeyboard"
    disablePythonKeyboard,          // "/python/disablepythonkeyboard"
    pythonTriggerPaste,             // "/python/triggerpaste"
    settingsSave,                   // "/settings/save"
    gamepadSubscribe,               // "gamepad/subscribe"
  };

  using Params = std::variant<JSONObject,
                              RPCRequestHubSendParams,
                              RPCRequestHubStartScanParams,
                              RPCRequestHubStopScanParams,
                              RPCRequestHubConnectParams,
                              RPCRequestHubDisconnectParams,
                              RPCRequestHubFirmwareUpdatingParams,
                              RPCRequestContentDownloadResourceParams,
                              RPCRequestContentWriteTmpResourceParams,
                              RPCRequestContentWriteResourceParams,
                              RPCRequestContentConfirmDownloadResourceParams,
                              RPCRequestContentCancelDownloadResourcesParams,
                              RPCRequestContentDeleteResourceParams,
                              RPCRequestContentCleanTempParams,
                              RPCRequestContentOpenExternalLinkParams,
                              RPCRequestContentCodestackResponseParams,
                              RPCRequestDeviceSetOrientationParams,
                              RPCRequestDeviceSelectFolderParams,
                              RPCRequestProjectsDeleteParams,
                              RPCRequestProjectsMoveParams,
                              RPCRequestProjectsSaveAsParams,
                              RPCRequestProjectsChangeProjectFolderParams,
                              RPCRequestProjectsShareParams,
                              RPCRequestSettingsSaveParams,
                              RPCRequestGamepadSubscribeParams>;

  /// `params` must hold the type the case carries (see the decoding table); a mismatch is a
  /// programming error and throws std::logic_error.
  Request(Case kind, std::string id, Params params);

  Case kind() const { return kind_; }
  /// The envelope's id, copied unchanged into the reply.
  const std::string& id() const { return id_; }
  ClientAPIRequest method() const;
  const Params& params() const { return params_; }
  /// The payload as the record the case carries: `request.params<RPCRequestHubSendParams>()`.
  /// Asking for another type throws std::bad_variant_access.
  template <class T>
  const T& params() const& {
    return std::get<T>(params_);
  }
  /// Moves the payload out, for handlers that keep it (a resource text can be large).
  template <class T>
  T&& params() && {
    return std::get<T>(std::move(params_));
  }

  friend bool operator==(const Request&, const Request&) = default;

 private:
  Case kind_;
  std::string id_;
  Params params_;
};

inline constexpr std::size_t kRequestCaseCount = 45;

/// The case's name as written in code ("hubSend"), for log lines.
std::string_view toString(Request::Case kind);
Request::Case requestCase(ClientAPIRequest method);
ClientAPIRequest requestMethod(Request::Case kind);

/// Why a frame did not decode: a channel failure (wrong version, unknown method) or the coding
/// layer's error for the envelope or the payload.
struct DecodeError {
  std::variant<Failure, CodingError> reason;

  const Failure* failure() const { return std::get_if<Failure>(&reason); }
  const CodingError* codingError() const { return std::get_if<CodingError>(&reason); }
  /// The failure's own text, or the coding error's description.
  std::string description() const;
};

/// Turns one text frame into a request. The frame is parsed once; the envelope is checked
/// ("id", "method" and "jsonrpc" required strings, "jsonrpc" exactly "2.0" before the method is
/// looked up), then "params"."values" is decoded as the method's payload. Safe on any thread.
[[nodiscard]] Expected<Request, DecodeError> decodeRequest(std::string_view frame);

/// Decodes the payload of `method` from an already parsed frame and wraps it with `id`.
[[nodiscard]] Expected<Request, CodingError> decodeRequestParams(ClientAPIRequest method, const Json& frame,
                                                                 std::string id);

}  // namespace kestrom::RPC

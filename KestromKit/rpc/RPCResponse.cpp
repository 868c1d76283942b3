#include "KestromKit/rpc/RPCResponse.h"

#include <array>
#include <stdexcept>

namespace kestrom::RPC {

namespace {

constexpr std::array<std::string_view, kResponseCaseCount> kNames{
    "error",
    "hubSend",
    "hubStartScan",
    "hubStopScan",
    "hubGetConnections",
    "hubConnect",
    "hubDisconnect",
    "hubFirmwareUpdating",
    "hubConnectionsValidate",
    "audioStartRecording",
    "audioStopRecording",
    "audioStartReportingLevels",
    "audioStopReportingLevels",
    "audioCheckRecordingPermission",
    "configurationRequest",
    "contentDownloadResource",
    "contentWriteTmpResource",
    "contentWriteResource",
    "contentConfirmDownloadResource",
    "contentCancelDownloadResources",
    "contentDeleteResource",
    "contentCleanTemp",
    "contentRestoreContent",
    "contentDeleteContent",
    "contentOpenExternalLink",
    "contentCodestackResponse",
    "deviceSetOrientation",
    "deviceSelectFolder",
    "menuShowProjectItems",
    "menuHideProjectItems",
    "miscPing",
    "requestRating",
    "moveAppBack",
    "projectsDelete",
    "projectsRequestAll",
    "projectsRequestInitialProjects",
    "projectsMove",
    "projectsShare",
    "projectsSaveAs",
    "projectsShowOpenDialog",
    "projectsChangeProjectFolder",
    "enablePythonKeyboard",
    "disablePythonKeyboard",
    "pythonTriggerPaste",
    "settingsSave",
    "gamepadSubscribe",
};

static_assert(static_cast<std::size_t>(ResponseCase::gamepadSubscribe) + 1 == kResponseCaseCount);

// Request and reply cases pair up by name; the pairing is computed once so the two enumerations
// cannot drift apart silently (a request case without a namesake throws on first use).
std::array<ResponseCase, kRequestCaseCount> makeRequestToResponse() {
  std::array<ResponseCase, kRequestCaseCount> table{};
  for (std::size_t r = 0; r < kRequestCaseCount; ++r) {
    auto name = toString(static_cast<Request::Case>(r));
    std::size_t found = 0;
    for (std::size_t c = 1; c < kResponseCaseCount; ++c)
      if (kNames[c] == name) found = c;
    if (found == 0) throw std::logic_error("no reply case for request case " + std::string(name));
    table[r] = static_cast<ResponseCase>(found);
  }
  return table;
}

}  // namespace

Response::Response(Case kind, std::string id, ResponseResult result)
    : kind_(kind), id_(std::move(id)), result_(std::move(result)) {
  if (result_.index() != resultIndex(kind_))
    throw std::logic_error("RPC::Response " + std::string(toString(kind_)) + " built with another result");
}

Response Response::emptyResult(Case kind, std::string id) {
  if (resultIndex(kind) != 1)
    throw std::logic_error("RPC::Response " + std::string(toString(kind)) + " carries no free object");
  return Response(kind, std::move(id), JSONObject{});
}

const std::string* Response::errorMessage() const {
  if (const auto* error = std::get_if<ErrorText>(&result_)) return &error->message;
  return nullptr;
}

std::string_view toString(ResponseCase kind) {
  auto index = static_cast<std::size_t>(kind);
  return index < kNames.size() ? kNames[index] : std::string_view("unknown");
}

ResponseCase responseCase(Request::Case request) {
  static const auto table = makeRequestToResponse();
  return table.at(static_cast<std::size_t>(request));
}

}  // namespace kestrom::RPC

#include "tests/support/RequestSamples.h"

#include <stdexcept>
#include <string>

namespace kestrom::testing {

namespace {

RequestSample freeObject(std::string_view method) {
  return {method, R"({"any key": [1, 2.5, "x", null, {"nested": true}]})", {}, {}, true};
}

}  // namespace

const std::vector<RequestSample>& requestSamples() {
  static const std::vector<RequestSample> samples = {
      freeObject("/audio/checkrecordingpermission"),
      freeObject("/audio/startrecording"),
      freeObject("/audio/startreportinglevels"),
      freeObject("/audio/stoprecording"),
      freeObject("/audio/stopreportinglevels"),
      freeObject("/configuration/request"),
      {"/content/cancelsdownloadresources", R"({"tmpId": "t-1"})", {"tmpId"}, {}},
      {"/content/cleantemp", R"({"tmpId": "t-2"})", {"tmpId"}, {}},
      {"/content/codestackresponse",
       R"({"error": "boom", "id": "c-1", "image": "aW1n", "language": "python"})",
       {"id", "language"},
       {"error", "image"}},
      {"/content/confirmdownloadresource", R"({"tmpId": "t-3"})", {"tmpId"}, {}},
      freeObject("/content/deletecontent"),
      {"/content/deleteresource", R"({"localPath": "a/b.json"})", {"localPath"}, {}},
      {"/content/downloadresource",
       R"({"localPath": "pkg/v1.zip", "remoteUrl": "https://example.com/v1.zip", "tmpId": "t-4"})",
       {"localPath", "remoteUrl", "tmpId"},
       {}},
      {"/content/openlink", R"({"link": "https://example.com/help"})", {"link"}, {}},
      freeObject("/content/restorecontent"),
      {"/content/writeresource", R"({"localPath": "notes.txt", "resource": "héllo\n"})",
       {"localPath", "resource"}, {}},
      {"/content/writetmpresource", R"({"localPath": "tmp.txt", "resource": "x", "tmpId": "t-5"})",
       {"localPath", "resource", "tmpId"}, {}},
      {"device/selectFolder", R"({"initialFolder": "documents", "initialPath": "/home/u", "interactive": true})",
       {"interactive"}, {"initialFolder", "initialPath"}},
      {"device/setorientation", R"({"orientation": "landscapeLeft"})", {"orientation"}, {}},
      {"gamepad/subscribe", R"({"targetHz": 60.5})", {"targetHz"}, {}},
      {"/hub/connect", R"({"id": "hub-1"})", {"id"}, {}},
      freeObject("/hub/connections"),
      freeObject("/hub/connections/validate"),
      {"/hub/disconnect", R"({"id": "hub-2"})", {"id"}, {}},
      {"/hub/send", R"({"id": "hub-3", "message": "AAEC"})", {"id", "message"}, {}},
      {"/hub/startscan", R"({"bleServices": ["fd02", "fd03"], "type": "bluetooth-lowenergy"})", {"type"},
       {"bleServices"}},
      {"/hub/stopscan", R"({"type": "usb"})", {"type"}, {}},
      {"/hub/updatingFirmware", R"({"expectedDuration": 42})", {"expectedDuration"}, {}},
      freeObject("/menu/hideProjectItems"),
      freeObject("/menu/showProjectItems"),
      freeObject("/misc/moveAppBack"),
      freeObject("/misc/requestrating"),
      freeObject("/ping"),
      {"/projects/changeProjectFolder",
       R"({"migrateProjects": true, "path": {"metadata": "Ym9vaw==", "name": "/home/u/Projects"}})",
       {"migrateProjects", "path"}, {}},
      {"/projects/delete", R"({"projectId": "p-1"})", {"projectId"}, {}},
      freeObject("/projects/initialprojects"),
      freeObject("/projects/list"),
      {"/projects/move", R"({"projectId": "p-2"})", {"projectId"}, {}},
      {"/projects/saveAs", R"({"projectId": "p-3"})", {"projectId"}, {}},
      {"/projects/share", R"({"projectId": "p-4"})", {"projectId"}, {}},
      freeObject("/projects/showOpenDialog"),
      freeObject("/python/disablepythonkeyboard"),
      freeObject("/python/enablepythonkeyboard"),
      freeObject("/python/triggerpaste"),
      {"/settings/save",
       R"({"settings": {"language": {"value": "de-DE"}, "volume": {"value": 7}, "unset": {"value": null},
           "deep": {"value": {"a": [true, 1.5]}}}})",
       {"settings"}, {}},
  };
  return samples;
}

const RequestSample& requestSample(std::string_view method) {
  for (const auto& sample : requestSamples())
    if (sample.method == method) return sample;
  throw std::out_of_range("no request sample for " + std::string(method));
}

}  // namespace kestrom::testing

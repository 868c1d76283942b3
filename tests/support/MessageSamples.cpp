#include "tests/support/MessageSamples.h"

#include <chrono>
#include <stdexcept>

namespace kestrom::testing {

namespace {

using namespace std::chrono_literals;
using RC = RPC::Response::Case;
using NC = RPC::Notification::Case;

// 2024-01-01T00:00:00Z, and half a second later.
const Date kCreated = Date(1704067200000ms);
const Date kLastSaved = kCreated + 500ms;

template <class T>
RecordSample sample(std::string_view label, T value, std::string_view json,
                    std::vector<std::string_view> required, std::vector<std::string_view> optional = {}) {
  return {label,
          json,
          std::move(required),
          std::move(optional),
          [value] { return encode(value); },
          [value](const Json& j) -> Decoded<bool> {
            auto decoded = decode<T>(j);
            if (!decoded) return makeUnexpected(decoded.error());
            return *decoded == value;
          },
          [](const Json& j) -> Decoded<Json> {
            auto decoded = decode<T>(j);
            if (!decoded) return makeUnexpected(decoded.error());
            return encode(*decoded);
          }};
}

// ---- the values, each beside its JSON -------------------------------------------------------------

const IDeviceFound::Ble kBle{std::map<std::string, std::string>{{"919", "AQID"}}, -61.5};
constexpr std::string_view kBleJson = R"({"manufacturerData": {"919": "AQID"}, "rssi": -61.5})";

const IDeviceFound::Btc kBtc{-40.25};
constexpr std::string_view kBtcJson = R"({"rssi": -40.25})";

const IDeviceFound::Serial kSerial{16.0, 1684.0};
constexpr std::string_view kSerialJson = R"({"productId": 16.0, "vendorId": 1684.0})";

const IDeviceFound kBleHub{kBle, std::nullopt, "6F1EA0C2-7A3B-4C1D-9E2F-0A1B2C3D4E5F", "Hub A", std::nullopt,
                           HubConnectionType::bluetoothLowenergy};
constexpr std::string_view kBleHubJson =
    R"({"ble": {"manufacturerData": {"919": "AQID"}, "rssi": -61.5},
        "id": "6F1EA0C2-7A3B-4C1D-9E2F-0A1B2C3D4E5F", "name": "Hub A", "type": "bluetooth-lowenergy"})";

const IDeviceFound kUsbHub{std::nullopt, std::nullopt, "0123456789AB", "", kSerial, HubConnectionType::usb};
constexpr std::string_view kUsbHubJson =
    R"({"id": "0123456789AB", "name": "", "serial": {"productId": 16.0, "vendorId": 1684.0}, "type": "usb"})";

const IDeviceFound kClassicHub{std::nullopt, std::nullopt, "00:16:53:A1:B2:C3", "Hub C", std::nullopt,
                               HubConnectionType::bluetoothClassic};
constexpr std::string_view kClassicHubJson =
    R"({"id": "00:16:53:A1:B2:C3", "name": "Hub C", "type": "bluetooth-classic"})";

// Every key of a found hub at once, which no transport produces but the record allows.
const IDeviceFound kEveryKeyHub{kBle, kBtc, "h-1", "All", kSerial, HubConnectionType::virtual_};
constexpr std::string_view kEveryKeyHubJson =
    R"({"ble": {"manufacturerData": {"919": "AQID"}, "rssi": -61.5}, "btc": {"rssi": -40.25}, "id": "h-1",
        "name": "All", "serial": {"productId": 16.0, "vendorId": 1684.0}, "type": "virtual"})";

const ICodeStackRequest kCodeStack{"import hub", "cs-1", "python"};
constexpr std::string_view kCodeStackJson = R"({"codestack": "import hub", "id": "cs-1", "language": "python"})";

const IGamepadButton kButton{true, 0.75};
constexpr std::string_view kButtonJson = R"({"pressed": true, "value": 0.75})";

const IGamepad kGamepad{{0.25, -0.5, 0.0, 1.0},
                        {{true, 0.75}, {false, 0.0}},
                        true,
                        "",
                        {"dual-rumble"},
                        "Pad Maker",
                        1.0,
                        "standard",
                        std::string("grip"),
                        12.5};
constexpr std::string_view kGamepadJson =
    R"({"axes": [0.25, -0.5, 0.0, 1.0], "buttons": [{"pressed": true, "value": 0.75}, {"pressed": false, "value": 0.0}],
        "connected": true, "hand": "", "hapticActuators": ["dual-rumble"], "id": "Pad Maker", "index": 1.0,
        "mapping": "standard", "pose": "grip", "timestamp": 12.5})";

const IHostConfiguration kHost{"en-GB",
                               "ThinkPad X1 Carbon",
                               DeviceType::desktop,
                               true,
                               std::string("42"),
                               "3.4.0",
                               "Debian GNU/Linux 12 (bookworm) 6.1.0",
                               PlatformType::macos,
                               std::string("~/Documents/Projects"),
                               ProjectFolderStatus::needsMigration,
                               "GB",
                               false};
constexpr std::string_view kHostJson =
    R"({"currentLanguage": "en-GB", "deviceModelDescription": "ThinkPad X1 Carbon", "deviceType": "desktop",
        "hasUSB": true, "hostBuild": "42", "hostVersion": "3.4.0",
        "operatingSystemDescription": "Debian GNU/Linux 12 (bookworm) 6.1.0", "platform": "macos",
        "projectFolderPath": "~/Documents/Projects", "projectFolderStatus": "needsMigration", "region": "GB",
        "supportsReleaseChannels": false})";

const std::map<std::string, IUserSetting> kUserSettings{
    {"ui.language", {Json("en-GB")}},
    {"editor.fontSize", {Json(14)}},
    {"recent", {Json::array({1, 2})}},
    {"cleared", {Json(nullptr)}},
    {"nested", {Json::parse(R"({"a": {"b": true, "c": 2.5}})")}},
};
constexpr std::string_view kSettingsJson =
    R"({"ui.language": {"value": "en-GB"}, "editor.fontSize": {"value": 14}, "recent": {"value": [1, 2]},
        "cleared": {"value": null}, "nested": {"value": {"a": {"b": true, "c": 2.5}}}})";

const IHostConfigAndUserSettings kHostAndSettings{kHost, kUserSettings};
const std::string kHostAndSettingsJson =
    "{\"host\": " + std::string(kHostJson) + ", \"userSettings\": " + std::string(kSettingsJson) + "}";
const std::string kConfigurationParamsJson = "{\"configuration\": " + kHostAndSettingsJson + "}";

const RPCProjectItem kProject{kCreated, "p-1", kLastSaved, "Rover", 2048.5};
constexpr std::string_view kProjectJson =
    R"({"created": 1704067200000.0, "id": "p-1", "lastsaved": 1704067200500.0, "name": "Rover", "size": 2048.5})";

// Replies.
const RPCResponseAudioCheckRecordingPermissionParams kPermission{true};
constexpr std::string_view kPermissionJson = R"({"granted": true})";
const RPCResponseAudioStopRecordingParams kStopRecording{"/tmp/kestrom/recording-1.wav"};
constexpr std::string_view kStopRecordingJson = R"({"filePath": "/tmp/kestrom/recording-1.wav"})";
const RPCResponseDeviceSelectFolderParams kSelectFolder{IHostPath{std::string("L2hvbWUvdS9Qcm9qZWN0cw=="), "/home/u/Projects"}};
constexpr std::string_view kSelectFolderJson =
    R"({"path": {"metadata": "L2hvbWUvdS9Qcm9qZWN0cw==", "name": "/home/u/Projects"}})";
const RPCResponseHubGetConnectionsParams kConnections{{kBleHub, kUsbHub}};
const std::string kConnectionsJson = "{\"devices\": [" + std::string(kBleHubJson) + ", " +
                                     std::string(kUsbHubJson) + "]}";
const RPCResponseProjectsRequestInitialProjectsParams kInitialProjects{{"p-1", "p-2"}};
constexpr std::string_view kInitialProjectsJson = R"({"projectIds": ["p-1", "p-2"]})";
const RPCResponseProjectsRequestAllParams kProjects{{kProject}};
const std::string kProjectsJson = "{\"projects\": [" + std::string(kProjectJson) + "]}";
const RPCResponseProjectsSaveAsParams kSaveAs{std::string("/home/u/Rover.kestrom")};
constexpr std::string_view kSaveAsJson = R"({"filePath": "/home/u/Rover.kestrom"})";

// Notification params.
const RPCNotifyAudioLevelUpdateParams kLevel{0.5, 0.125};
constexpr std::string_view kLevelJson = R"({"duration": 0.5, "level": 0.125})";
const RPCNotifyConfigurationChangedParams kConfigurationChanged{kHostAndSettings};
const RPCNotifyContentCodeStackRequestParams kCodeStackParams{kCodeStack};
const std::string kCodeStackParamsJson = "{\"request\": " + std::string(kCodeStackJson) + "}";
const RPCNotifyGamepadConnectedParams kGamepadConnected{"pad-0"};
constexpr std::string_view kGamepadConnectedJson = R"({"id": "pad-0"})";
const RPCNotifyGamepadDisconnectedParams kGamepadDisconnected{"pad-1"};
constexpr std::string_view kGamepadDisconnectedJson = R"({"id": "pad-1"})";
const RPCNotifyGamepadSnapshotParams kSnapshot{kGamepad};
const std::string kSnapshotJson = "{\"snapshot\": " + std::string(kGamepadJson) + "}";
const RPCNotifyHubConnectedParams kHubConnected{"hub-1"};
constexpr std::string_view kHubConnectedJson = R"({"id": "hub-1"})";
const RPCNotifyHubDeviceFoundParams kDeviceFound{kBleHub};
const std::string kDeviceFoundJson = "{\"device\": " + std::string(kBleHubJson) + "}";
const RPCNotifyHubDidReceiveMessageParams kReceived{"hub-2", "AAECAwQFBgcICQoLDA0ODxAREhM="};
constexpr std::string_view kReceivedJson = R"({"id": "hub-2", "message": "AAECAwQFBgcICQoLDA0ODxAREhM="})";
const RPCNotifyHubDisconnectedParams kHubDisconnected{"hub-3"};
constexpr std::string_view kHubDisconnectedJson = R"({"id": "hub-3"})";
const RPCNotifyHubScanningStoppedParams kScanningStopped{HubConnectionType::usb};
constexpr std::string_view kScanningStoppedJson = R"({"type": "usb"})";
const RPCNotifyMenuItemClickedParams kMenuItem{MenuBarItem::saveAs};
constexpr std::string_view kMenuItemJson = R"({"item": "saveAs"})";
const RPCNotifyMenuNavigateHistoryParams kNavigate{-1.0};
constexpr std::string_view kNavigateJson = R"({"delta": -1.0})";
const RPCNotifyProjectsRequestOpenParams kOpen{{"p-7", "p-8"}};
constexpr std::string_view kOpenJson = R"({"ids": ["p-7", "p-8"]})";
const RPCNotifyPythonPasteParams kPaste{"x = 1\n"};
constexpr std::string_view kPasteJson = R"({"text": "x = 1\n"})";
const RPCNotifyPythonPressKeyboardButtonParams kPress{"Enter"};
constexpr std::string_view kPressJson = R"({"button": "Enter"})";

// A free object with every kind of JSON value.
const JSONObject kFreeObject{{"list", JSONAny(Json::parse(R"([1, 2.5, "x", null, {"nested": true}])"))},
                             {"flag", JSONAny(Json(false))}};
constexpr std::string_view kFreeObjectJson = R"({"list": [1, 2.5, "x", null, {"nested": true}], "flag": false})";

}  // namespace

const std::vector<RecordSample>& recordSamples() {
  static const std::vector<RecordSample> samples = {
      sample("IDeviceFound.Ble", kBle, kBleJson, {"rssi"}, {"manufacturerData"}),
      sample("IDeviceFound.Btc", kBtc, kBtcJson, {}, {"rssi"}),
      sample("IDeviceFound.Serial", kSerial, kSerialJson, {"productId", "vendorId"}),
      sample("IDeviceFound (Bluetooth LE)", kBleHub, kBleHubJson, {"id", "name", "type"}, {"ble"}),
      sample("IDeviceFound (USB)", kUsbHub, kUsbHubJson, {"id", "name", "type"}, {"serial"}),
      sample("IDeviceFound (classic)", kClassicHub, kClassicHubJson, {"id", "name", "type"}),
      sample("IDeviceFound (every key)", kEveryKeyHub, kEveryKeyHubJson, {"id", "name", "type"},
             {"ble", "btc", "serial"}),
      sample("ICodeStackRequest", kCodeStack, kCodeStackJson, {"codestack", "id", "language"}),
      sample("IGamepadButton", kButton, kButtonJson, {"pressed", "value"}),
      sample("IGamepad", kGamepad, kGamepadJson,
             {"axes", "buttons", "connected", "hand", "hapticActuators", "id", "index", "mapping", "timestamp"},
             {"pose"}),
      sample("IHostConfiguration", kHost, kHostJson,
             {"currentLanguage", "deviceModelDescription", "deviceType", "hasUSB", "hostVersion",
              "operatingSystemDescription", "platform", "region", "supportsReleaseChannels"},
             {"hostBuild", "projectFolderPath", "projectFolderStatus"}),
      sample("IHostConfigAndUserSettings", kHostAndSettings, kHostAndSettingsJson, {"host", "userSettings"}),
      sample("RPCProjectItem", kProject, kProjectJson, {"created", "id", "lastsaved", "name", "size"}),
      sample("RPCResponseAudioCheckRecordingPermissionParams", kPermission, kPermissionJson, {"granted"}),
      sample("RPCResponseAudioStopRecordingParams", kStopRecording, kStopRecordingJson, {"filePath"}),
      sample("RPCResponseDeviceSelectFolderParams", kSelectFolder, kSelectFolderJson, {}, {"path"}),
      sample("RPCResponseHubGetConnectionsParams", kConnections, kConnectionsJson, {"devices"}),
      sample("RPCResponseProjectsRequestInitialProjectsParams", kInitialProjects, kInitialProjectsJson,
             {"projectIds"}),
      sample("RPCResponseProjectsRequestAllParams", kProjects, kProjectsJson, {"projects"}),
      sample("RPCResponseProjectsSaveAsParams", kSaveAs, kSaveAsJson, {}, {"filePath"}),
      sample("RPCNotifyAudioLevelUpdateParams", kLevel, kLevelJson, {"duration", "level"}),
      sample("RPCNotifyConfigurationChangedParams", kConfigurationChanged, kConfigurationParamsJson,
             {"configuration"}),
      sample("RPCNotifyContentCodeStackRequestParams", kCodeStackParams, kCodeStackParamsJson, {"request"}),
      sample("RPCNotifyGamepadConnectedParams", kGamepadConnected, kGamepadConnectedJson, {"id"}),
      sample("RPCNotifyGamepadDisconnectedParams", kGamepadDisconnected, kGamepadDisconnectedJson, {"id"}),
      sample("RPCNotifyGamepadSnapshotParams", kSnapshot, kSnapshotJson, {"snapshot"}),
      sample("RPCNotifyHubConnectedParams", kHubConnected, kHubConnectedJson, {"id"}),
      sample("RPCNotifyHubDeviceFoundParams", kDeviceFound, kDeviceFoundJson, {"device"}),
      sample("RPCNotifyHubDidReceiveMessageParams", kReceived, kReceivedJson, {"id", "message"}),
      sample("RPCNotifyHubDisconnectedParams", kHubDisconnected, kHubDisconnectedJson, {"id"}),
      sample("RPCNotifyHubScanningStoppedParams", kScanningStopped, kScanningStoppedJson, {"type"}),
      sample("RPCNotifyMenuItemClickedParams", kMenuItem, kMenuItemJson, {"item"}),
      sample("RPCNotifyMenuNavigateHistoryParams", kNavigate, kNavigateJson, {"delta"}),
      sample("RPCNotifyProjectsRequestOpenParams", kOpen, kOpenJson, {"ids"}),
      sample("RPCNotifyPythonPasteParams", kPaste, kPasteJson, {"text"}),
      sample("RPCNotifyPythonPressKeyboardButtonParams", kPress, kPressJson, {"button"}),
  };
  return samples;
}

const RecordSample& recordSample(std::string_view label) {
  for (const auto& s : recordSamples())
    if (s.label == label) return s;
  throw std::out_of_range("no record sample " + std::string(label));
}

const std::vector<ResponseSample>& responseSamples() {
  using RPC::Response;
  static const std::vector<ResponseSample> samples = {
      {Response::error("r-0", "no such connection"), "no such connection"},
      {Response::make<RC::hubSend>("r-1"), "{}"},
      {Response::make<RC::hubStartScan>("r-2"), "{}"},
      {Response::make<RC::hubStopScan>("r-3"), "{}"},
      {Response::make<RC::hubGetConnections>("r-4", kConnections), kConnectionsJson},
      {Response::make<RC::hubConnect>("r-5"), "{}"},
      {Response::make<RC::hubDisconnect>("r-6"), "{}"},
      {Response::make<RC::hubFirmwareUpdating>("r-7"), "{}"},
      {Response::make<RC::hubConnectionsValidate>("r-8"), "{}"},
      {Response::make<RC::audioStartRecording>("r-9"), "{}"},
      {Response::make<RC::audioStopRecording>("r-10", kStopRecording), kStopRecordingJson},
      {Response::make<RC::audioStartReportingLevels>("r-11"), "{}"},
      {Response::make<RC::audioStopReportingLevels>("r-12"), "{}"},
      {Response::make<RC::audioCheckRecordingPermission>("r-13", kPermission), kPermissionJson},
      {Response::make<RC::configurationRequest>("r-14", kFreeObject), kFreeObjectJson},
      {Response::make<RC::contentDownloadResource>("r-15"), "{}"},
      {Response::make<RC::contentWriteTmpResource>("r-16"), "{}"},
      {Response::make<RC::contentWriteResource>("r-17"), "{}"},
      {Response::make<RC::contentConfirmDownloadResource>("r-18"), "{}"},
      {Response::make<RC::contentCancelDownloadResources>("r-19"), "{}"},
      {Response::make<RC::contentDeleteResource>("r-20"), "{}"},
      {Response::make<RC::contentCleanTemp>("r-21"), "{}"},
      {Response::make<RC::contentRestoreContent>("r-22"), "{}"},
      {Response::make<RC::contentDeleteContent>("r-23"), "{}"},
      {Response::make<RC::contentOpenExternalLink>("r-24"), "{}"},
      {Response::make<RC::contentCodestackResponse>("r-25"), "{}"},
      {Response::make<RC::deviceSetOrientation>("r-26"), "{}"},
      {Response::make<RC::deviceSelectFolder>("r-27", kSelectFolder), kSelectFolderJson},
      {Response::make<RC::menuShowProjectItems>("r-28"), "{}"},
      {Response::make<RC::menuHideProjectItems>("r-29"), "{}"},
      {Response::make<RC::miscPing>("r-30"), "{}"},
      {Response::make<RC::requestRating>("r-31"), "{}"},
      {Response::make<RC::moveAppBack>("r-32"), "{}"},
      {Response::make<RC::projectsDelete>("r-33"), "{}"},
      {Response::make<RC::projectsRequestAll>("r-34", kProjects), kProjectsJson},
      {Response::make<RC::projectsRequestInitialProjects>("r-35", kInitialProjects), kInitialProjectsJson},
      {Response::make<RC::projectsMove>("r-36"), "{}"},
      {Response::make<RC::projectsSaveAs>("r-37", kSaveAs), kSaveAsJson},
      {Response::make<RC::projectsShowOpenDialog>("r-38"), "{}"},
      {Response::make<RC::projectsChangeProjectFolder>("r-39"), "{}"},
      {Response::make<RC::projectsShare>("r-40"), "{}"},
      {Response::make<RC::enablePythonKeyboard>("r-41"), "{}"},
      {Response::make<RC::disablePythonKeyboard>("r-42"), "{}"},
      {Response::make<RC::pythonTriggerPaste>("r-43"), "{}"},
      {Response::make<RC::settingsSave>("r-44"), "{}"},
      {Response::make<RC::gamepadSubscribe>("r-45"), "{}"},
  };
  return samples;
}

const Configuration& sampleConfiguration() {
  static const Configuration configuration = [] {
    Configuration c{kHost, {}};
    for (const auto& [name, setting] : kUserSettings) c.userSettings[name] = SettingValue{setting.value};
    return c;
  }();
  return configuration;
}

std::string_view sampleConfigurationParams() { return kConfigurationParamsJson; }

const std::vector<NotificationSample>& notificationSamples() {
  using RPC::Notification;
  static const std::vector<NotificationSample> samples = {
      {Notification::make<NC::hubConnected>(kHubConnected), "/hub/connected", kHubConnectedJson},
      {Notification::make<NC::hubDisconnected>(kHubDisconnected), "/hub/disconnected", kHubDisconnectedJson},
      {Notification::make<NC::hubScanningStopped>(kScanningStopped), "/hub/scanningstopped", kScanningStoppedJson},
      {Notification::make<NC::hubDeviceFound>(kDeviceFound), "hub/devicefound", kDeviceFoundJson},
      {Notification::make<NC::hubDidReceiveMessage>(kReceived), "/hub/didReceiveMessage", kReceivedJson},
      {Notification::make<NC::hubConnectionFailed>(kFreeObject), "/hub/connectionfailed", kFreeObjectJson},
      {Notification::make<NC::hubConnecting>(), "/hub/connecting", "{}"},
      {Notification::make<NC::audioLevelUpdate>(kLevel), "/audio/levelupdate", kLevelJson},
      {Notification::make<NC::configurationChanged>(sampleConfiguration()), "/configuration/changed",
       kConfigurationParamsJson},
      {Notification::make<NC::contentRestored>(), "/content/contentrestored", "{}"},
      {Notification::make<NC::contentCodeStackRequest>(kCodeStackParams), "/content/codestackrequest",
       kCodeStackParamsJson},
      {Notification::make<NC::contentDeleted>(), "/content/contentdeleted", "{}"},
      {Notification::make<NC::menuItemClicked>(kMenuItem), "/menu/itemClicked", kMenuItemJson},
      {Notification::make<NC::menuNavigateHistory>(kNavigate), "/menu/navigateHistory", kNavigateJson},
      {Notification::make<NC::projectsRequestOpen>(kOpen), "/projects/opennotification", kOpenJson},
      {Notification::make<NC::projectMoved>(kFreeObject), "/projects/moved", kFreeObjectJson},
      {Notification::make<NC::pythonPressKeyboardButton>(kPress), "/python/presskeyboardbutton", kPressJson},
      {Notification::make<NC::pythonPaste>(kPaste), "/python/paste", kPasteJson},
      {Notification::make<NC::gamepadConnected>(kGamepadConnected), "gamepad/connected", kGamepadConnectedJson},
      {Notification::make<NC::gamepadSnapshot>(kSnapshot), "gamepad/snapshot", kSnapshotJson},
      {Notification::make<NC::gamepadDisconnected>(kGamepadDisconnected), "gamepad/disconnected",
       kGamepadDisconnectedJson},
      {Notification::make<NC::hostLifecycleBackground>(), "host/lifecycle/background", "{}"},
      {Notification::make<NC::hostLifecycleForeground>(), "host/lifecycle/foreground", "{}"},
  };
  return samples;
}

nlohmann::json unordered(std::string_view text) { return nlohmann::json::parse(text); }

nlohmann::json unordered(const Json& value) { return nlohmann::json::parse(value.dump()); }

}  // namespace kestrom::testing

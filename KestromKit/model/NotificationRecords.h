#pragma once
// The typed "params" of the notifications the host pushes to the page. Methods without a record
// carry a free JSONObject instead. Every number is a double, identifiers and indices included.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/CommonRecords.h"
#include "KestromKit/model/IDeviceFound.h"
#include "KestromKit/model/IHostConfiguration.h"

namespace kestrom {

// ---- nested records and enumerations ------------------------------------------------------------

/// The menu commands the page acts on. The desktop menu never sends `checkForUpdate` or `share`.
enum class MenuBarItem { checkForUpdate, help, moveTo, newProject, openProject, saveAs, settings, share };

template <>
struct EnumTable<MenuBarItem> {
  static constexpr std::array<std::pair<MenuBarItem, std::string_view>, 8> values{{
      {MenuBarItem::checkForUpdate, "checkForUpdate"},
      {MenuBarItem::help, "help"},
      {MenuBarItem::moveTo, "moveTo"},
      {MenuBarItem::newProject, "newProject"},
      {MenuBarItem::openProject, "openProject"},
      {MenuBarItem::saveAs, "saveAs"},
      {MenuBarItem::settings, "settings"},
      {MenuBarItem::share, "share"},
  }};
};

struct ICodeStackRequest {
  std::string codestack;
  std::string id;
  std::string language;

  friend bool operator==(const ICodeStackRequest&, const ICodeStackRequest&) = default;
  static constexpr auto codingFields() {
    using S = ICodeStackRequest;
    return std::tuple{field("codestack", &S::codestack), field("id", &S::id), field("language", &S::language)};
  }
};

struct IGamepadButton {
  bool pressed = false;
  double value = 0;

  friend bool operator==(const IGamepadButton&, const IGamepadButton&) = default;
  static constexpr auto codingFields() {
    using S = IGamepadButton;
    return std::tuple{field("pressed", &S::pressed), field("value", &S::value)};
  }
};

/// One gamepad's state, shaped like the browser's Gamepad object so the page can treat both alike.
struct IGamepad {
  std::vector<double> axes;
  std::vector<IGamepadButton> buttons;  // one per button of the layout named by `mapping`
  bool connected = false;
  std::string hand;
  std::vector<std::string> hapticActuators;
  std::string id;
  double index = 0;
  std::string mapping;
  std::optional<std::string> pose;
  double timestamp = 0;

  friend bool operator==(const IGamepad&, const IGamepad&) = default;
  static constexpr auto codingFields() {
    using S = IGamepad;
    return std::tuple{field("axes", &S::axes),           field("buttons", &S::buttons),
                      field("connected", &S::connected), field("hand", &S::hand),
                      field("hapticActuators", &S::hapticActuators),
                      field("id", &S::id),               field("index", &S::index),
                      field("mapping", &S::mapping),     field("pose", &S::pose),
                      field("timestamp", &S::timestamp)};
  }
};

// ---- params records -----------------------------------------------------------------------------

struct RPCNotifyAudioLevelUpdateParams {
  double duration = 0;  // seconds
  double level = 0;     // linear, never negative

  friend bool operator==(const RPCNotifyAudioLevelUpdateParams&, const RPCNotifyAudioLevelUpdateParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyAudioLevelUpdateParams;
    return std::tuple{field("duration", &S::duration), field("level", &S::level)};
  }
};

/// The shape of "/configuration/changed". The host builds that notification's tree from the kit's
/// Configuration instead; this record defines the shape and reads it back.
struct RPCNotifyConfigurationChangedParams {
  IHostConfigAndUserSettings configuration;

  friend bool operator==(const RPCNotifyConfigurationChangedParams&,
                         const RPCNotifyConfigurationChangedParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyConfigurationChangedParams;
    return std::tuple{field("configuration", &S::configuration)};
  }
};

struct RPCNotifyContentCodeStackRequestParams {
  ICodeStackRequest request;

  friend bool operator==(const RPCNotifyContentCodeStackRequestParams&,
                         const RPCNotifyContentCodeStackRequestParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyContentCodeStackRequestParams;
    return std::tuple{field("request", &S::request)};
  }
};

struct RPCNotifyGamepadConnectedParams {
  std::string id;

  friend bool operator==(const RPCNotifyGamepadConnectedParams&, const RPCNotifyGamepadConnectedParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyGamepadConnectedParams;
    return std::tuple{field("id", &S::id)};
  }
};

struct RPCNotifyGamepadDisconnectedParams {
  std::string id;

  friend bool operator==(const RPCNotifyGamepadDisconnectedParams&,
                         const RPCNotifyGamepadDisconnectedParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyGamepadDisconnectedParams;
    return std::tuple{field("id", &S::id)};
  }
};

struct RPCNotifyGamepadSnapshotParams {
  IGamepad snapshot;

  friend bool operator==(const RPCNotifyGamepadSnapshotParams&, const RPCNotifyGamepadSnapshotParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyGamepadSnapshotParams;
    return std::tuple{field("snapshot", &S::snapshot)};
  }
};

struct RPCNotifyHubConnectedParams {
  std::string id;

  friend bool operator==(const RPCNotifyHubConnectedParams&, const RPCNotifyHubConnectedParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyHubConnectedParams;
    return std::tuple{field("id", &S::id)};
  }
};

struct RPCNotifyHubDeviceFoundParams {
  IDeviceFound device;

  friend bool operator==(const RPCNotifyHubDeviceFoundParams&, const RPCNotifyHubDeviceFoundParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyHubDeviceFoundParams;
    return std::tuple{field("device", &S::device)};
  }
};

struct RPCNotifyHubDidReceiveMessageParams {
  std::string id;
  std::string message;  // the received bytes, base64

  friend bool operator==(const RPCNotifyHubDidReceiveMessageParams&,
                         const RPCNotifyHubDidReceiveMessageParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyHubDidReceiveMessageParams;
    return std::tuple{field("id", &S::id), field("message", &S::message)};
  }
};

struct RPCNotifyHubDisconnectedParams {
  std::string id;

  friend bool operator==(const RPCNotifyHubDisconnectedParams&, const RPCNotifyHubDisconnectedParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyHubDisconnectedParams;
    return std::tuple{field("id", &S::id)};
  }
};

struct RPCNotifyHubScanningStoppedParams {
  HubConnectionType type = HubConnectionType::bluetoothLowenergy;

  friend bool operator==(const RPCNotifyHubScanningStoppedParams&,
                         const RPCNotifyHubScanningStoppedParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyHubScanningStoppedParams;
    return std::tuple{field("type", &S::type)};
  }
};

struct RPCNotifyMenuItemClickedParams {
  MenuBarItem item = MenuBarItem::help;

  friend bool operator==(const RPCNotifyMenuItemClickedParams&, const RPCNotifyMenuItemClickedParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyMenuItemClickedParams;
    return std::tuple{field("item", &S::item)};
  }
};

struct RPCNotifyMenuNavigateHistoryParams {
  double delta = 0;  // steps in the page's history

  friend bool operator==(const RPCNotifyMenuNavigateHistoryParams&,
                         const RPCNotifyMenuNavigateHistoryParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyMenuNavigateHistoryParams;
    return std::tuple{field("delta", &S::delta)};
  }
};

struct RPCNotifyProjectsRequestOpenParams {
  std::vector<std::string> ids;

  friend bool operator==(const RPCNotifyProjectsRequestOpenParams&,
                         const RPCNotifyProjectsRequestOpenParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyProjectsRequestOpenParams;
    return std::tuple{field("ids", &S::ids)};
  }
};

struct RPCNotifyPythonPasteParams {
  std::string text;

  friend bool operator==(const RPCNotifyPythonPasteParams&, const RPCNotifyPythonPasteParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyPythonPasteParams;
    return std::tuple{field("text", &S::text)};
  }
};

struct RPCNotifyPythonPressKeyboardButtonParams {
  std::string button;

  friend bool operator==(const RPCNotifyPythonPressKeyboardButtonParams&,
                         const RPCNotifyPythonPressKeyboardButtonParams&) = default;
  static constexpr auto codingFields() {
    using S = RPCNotifyPythonPressKeyboardButtonParams;
    return std::tuple{field("button", &S::button)};
  }
};

}  // namespace kestrom

#pragma once
// Small named values that survive a restart ("KestromKit.sentryEnabled"). The Linux backend is one
// JSON file under $XDG_CONFIG_HOME/<bundle id>/, written atomically (JSONFileUserDefaults beside
// this file); FakeUserDefaults keeps them in memory for tests. Any thread.

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kestrom::defaults {

class UserDefaults {
 public:
  virtual ~UserDefaults() = default;

  /// The stored value, absent when the key was never set.
  virtual std::optional<nlohmann::ordered_json> value(std::string_view key) const = 0;
  /// Stores `value`; false when it could not be made to last (the old value then stays).
  [[nodiscard]] virtual bool setValue(std::string_view key, nlohmann::ordered_json value) = 0;

  /// The value as a Boolean; absent when missing or not a Boolean.
  std::optional<bool> boolValue(std::string_view key) const {
    auto v = value(key);
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
  }
  [[nodiscard]] bool setBool(std::string_view key, bool v) { return setValue(key, nlohmann::ordered_json(v)); }
};

}  // namespace kestrom::defaults

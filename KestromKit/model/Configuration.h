#pragma once
// The kit's configuration value: what "/configuration/changed" tells the page.

#include <map>
#include <string>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/IHostConfiguration.h"
#include "KestromKit/model/NotificationRecords.h"
#include "KestromKit/model/SettingValue.h"

namespace kestrom {

/// The host's facts plus every stored setting, built afresh by the configuration handler for each
/// "/configuration/request". A plain value: built on the main queue, encoded on any queue.
struct Configuration {
  IHostConfiguration host;
  std::map<std::string, SettingValue> userSettings;  // by setting name

  friend bool operator==(const Configuration&, const Configuration&) = default;

  /// The notification's params record:
  /// {"configuration": {"host": {...}, "userSettings": {name: {"value": v}}}}.
  /// "hostBuild" is always present (the empty string when unknown), so the page can rely on it;
  /// the project folder path and status, always known in practice, are left out when absent, as
  /// for any optional member. Setting values go in unchanged.
  RPCNotifyConfigurationChangedParams params() const;
  /// `params()` as its JSON tree, written by the same field tables as every record; a setting
  /// value that will not encode (a non-finite number) fails.
  Expected<Json, CodingError> jsonObject() const;
};

}  // namespace kestrom

#pragma once
// One stored user setting as the page sees it: {"value": any JSON value}.

#include <tuple>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"

namespace kestrom {

/// A setting's value, unchanged from what the page saved. Null is a value; only a missing
/// "value" key fails to decode.
struct SettingValue {
  JSONAny value;

  friend bool operator==(const SettingValue&, const SettingValue&) = default;
  static constexpr auto codingFields() {
    using S = SettingValue;
    return std::tuple{field("value", &S::value)};
  }
};

}  // namespace kestrom

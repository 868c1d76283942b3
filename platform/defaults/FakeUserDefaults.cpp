#include "platform/defaults/FakeUserDefaults.h"

namespace kestrom::defaults {

std::optional<nlohmann::ordered_json> FakeUserDefaults::value(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool FakeUserDefaults::setValue(std::string_view key, nlohmann::ordered_json value) {
  std::lock_guard lock(mutex_);
  if (failNext_) {
    failNext_ = false;
    return false;
  }
  values_[std::string(key)] = std::move(value);
  return true;
}

void FakeUserDefaults::failNextWrite() {
  std::lock_guard lock(mutex_);
  failNext_ = true;
}

}  // namespace kestrom::defaults

#pragma once
// User defaults held in memory, for tests and headless runs. `failNextWrite` makes the next
// `setValue` report failure and keep the old value, as a full disk would. Any thread.

#include <map>
#include <mutex>

#include "platform/defaults/UserDefaults.h"

namespace kestrom::defaults {

class FakeUserDefaults final : public UserDefaults {
 public:
  std::optional<nlohmann::ordered_json> value(std::string_view key) const override;
  [[nodiscard]] bool setValue(std::string_view key, nlohmann::ordered_json value) override;
  void failNextWrite();

 private:
  mutable std::mutex mutex_;  // guards values_ and failNext_
  std::map<std::string, nlohmann::ordered_json, std::less<>> values_;
  bool failNext_ = false;
};

}  // namespace kestrom::defaults

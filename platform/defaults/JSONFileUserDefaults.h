#pragma once
// The user defaults of the Linux host: one JSON object in one file, by default
// $XDG_CONFIG_HOME/<bundle id>/defaults.json. Read once on first use; every change rewrites the
// whole file atomically. A file that is not a JSON object is set aside as ".corrupt" before the
// first write replaces it; one that exists but cannot be read (permissions, I/O) is left as it is:
// it reads as empty, every write fails, and the next use reads it again. Any thread (one mutex);
// owned by the composition root.

#include <filesystem>
#include <mutex>

#include "platform/defaults/UserDefaults.h"

namespace kestrom::defaults {

class JSONFileUserDefaults final : public UserDefaults {
 public:
  explicit JSONFileUserDefaults(std::filesystem::path file);

  /// $XDG_CONFIG_HOME (else ~/.config) / `bundleIdentifier` / "defaults.json".
  static std::filesystem::path defaultFile(const std::string& bundleIdentifier);

  std::optional<nlohmann::ordered_json> value(std::string_view key) const override;
  [[nodiscard]] bool setValue(std::string_view key, nlohmann::ordered_json value) override;

  const std::filesystem::path& file() const { return file_; }

 private:
  void loadLocked() const;

  std::filesystem::path file_;
  mutable std::mutex mutex_;  // guards everything below
  mutable bool loaded_ = false;
  mutable bool corrupt_ = false;  // the file exists but is no JSON object
  mutable bool unreadable_ = false;  // the file exists but reading it failed
  mutable bool swept_ = false;  // stray temporaries removed
  mutable nlohmann::ordered_json values_ = nlohmann::ordered_json::object();
};

}  // namespace kestrom::defaults

#include "KestromKit/storage/JSONFileUserDefaults.h"

#include <cstdlib>

#include "KestromKit/model/Coding.h"
#include "KestromKit/base/AtomicFile.h"
#include "KestromKit/base/Constants.h"

namespace kestrom {
namespace fs = std::filesystem;

JSONFileUserDefaults::JSONFileUserDefaults(fs::path file) : file_(std::move(file)) {}

fs::path JSONFileUserDefaults::defaultFile(const std::string& bundleIdentifier) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  fs::path base = config && *config ? fs::path(config) : Constants::path().macOS.home / ".config";
  return base / bundleIdentifier / "defaults.json";
}

void JSONFileUserDefaults::loadLocked() const {
  if (loaded_) return;
  loaded_ = true;
  AtomicFile::removeStrayTemporaries(file_);  // left by a write that was killed half way
  auto text = AtomicFile::read(file_);
  if (!text) return;  // missing (or unreadable): start empty
  auto json = parseJson(*text);
  if (json && json->is_object()) {
    values_ = std::move(*json);
  } else {
    corrupt_ = true;
    Constants::log().general.error("Unable to read user defaults at %s: not a JSON object",
                                   Constants::tildePath(file_));
  }
}

std::optional<nlohmann::ordered_json> JSONFileUserDefaults::value(std::string_view key) const {
  std::lock_guard lock(mutex_);
  loadLocked();
  auto it = values_.find(std::string(key));
  if (it == values_.end()) return std::nullopt;
  return *it;
}

bool JSONFileUserDefaults::setValue(std::string_view key, nlohmann::ordered_json value) {
  std::lock_guard lock(mutex_);
  loadLocked();
  nlohmann::ordered_json next = values_;
  next[std::string(key)] = std::move(value);
  std::error_code ec;
  fs::create_directories(file_.parent_path(), ec);
  if (corrupt_) {
    if (!AtomicFile::setAsideCorrupt(file_)) return false;  // never overwrite what we could not read
    corrupt_ = false;
  }
  auto written = AtomicFile::write(file_, dumpJson(next));
  if (!written) {
    Constants::log().general.error("Unable to write user defaults at %s: %s", Constants::tildePath(file_),
                                   written.error().message());
    return false;
  }
  values_ = std::move(next);
  return true;
}

}  // namespace kestrom

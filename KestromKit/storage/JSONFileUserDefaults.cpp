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
  if (!swept_) {
    AtomicFile::removeStrayTemporaries(file_);  // left by a write that was killed half way
    swept_ = true;
  }
  auto text = AtomicFile::read(file_);
  if (!text) {
    if (text.error() == std::errc::no_such_file_or_directory) {
      loaded_ = true;  // nothing stored yet: start empty
      unreadable_ = false;
      return;
    }
    // It holds the user's values (the project folder among them) but cannot be read now: leave
    // it as it is, refuse to write over it, and try again at the next use.
    if (!unreadable_)
      Constants::log().general.error("Unable to read user defaults at %s: %s; they are left as they are and not "
                                     "written until they can be read",
                                     Constants::tildePath(file_), text.error().message());
    unreadable_ = true;
    return;
  }
  loaded_ = true;
  unreadable_ = false;
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
  if (unreadable_) return false;  // never replace what could not be read
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

#include "platform/defaults/JSONFileUserDefaults.h"

#include <cstdlib>

#include "platform/files/AtomicFile.h"
#include "platform/files/HomeFolder.h"
#include "platform/jsontext/JsonText.h"
#include "platform/log/Log.h"

namespace kestrom::defaults {
namespace fs = std::filesystem;

namespace {
const log::Logger& defaultsLog() {
  static const log::Logger logger("platform", "defaults");
  return logger;
}
}  // namespace

JSONFileUserDefaults::JSONFileUserDefaults(fs::path file) : file_(std::move(file)) {}

fs::path JSONFileUserDefaults::defaultFile(const std::string& bundleIdentifier) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  fs::path base = config && *config ? fs::path(config) : files::homeFolder() / ".config";
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
      defaultsLog().error("Unable to read user defaults at %s: %s; they are left as they are and not "
                          "written until they can be read",
                          files::tildePath(file_), text.error().message());
    unreadable_ = true;
    return;
  }
  loaded_ = true;
  unreadable_ = false;
  auto json = jsontext::parse(*text);
  if (json && json->is_object()) {
    values_ = std::move(*json);
  } else {
    corrupt_ = true;
    defaultsLog().error("Unable to read user defaults at %s: not a JSON object", files::tildePath(file_));
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
  auto written = AtomicFile::write(file_, jsontext::dump(next));
  if (!written) {
    defaultsLog().error("Unable to write user defaults at %s: %s", files::tildePath(file_),
                        written.error().message());
    return false;
  }
  values_ = std::move(next);
  return true;
}

}  // namespace kestrom::defaults

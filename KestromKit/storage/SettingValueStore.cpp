#include "KestromKit/storage/SettingValueStore.h"

#include <utility>

#include "KestromKit/model/Coding.h"
#include "KestromKit/base/AtomicFile.h"
#include "KestromKit/base/Constants.h"

namespace kestrom {

SettingValueStore::SettingValueStore(std::filesystem::path storeFile, std::shared_ptr<dispatch::Queue> queue)
    : queue_(queue ? std::move(queue) : dispatch::makeSerialQueue("SettingValueStore")),
      storeFile_(std::move(storeFile)),
      log_(Constants::log().general) {}

void SettingValueStore::load() {
  queue_->sync([&] {
    // An early reader (the menu's language) may have read the file before the migrations wrote
    // it; read again unless a change since then would be lost.
    if (!changed_) loaded_ = false;
    loadOnQueue();
  });
}

void SettingValueStore::loadOnQueue() const {
  if (loaded_) return;
  loaded_ = true;
  store_.clear();
  auto text = AtomicFile::read(storeFile_);
  if (!text && text.error() == std::errc::no_such_file_or_directory) {
    log_.debug("No existing settings store was loaded.");
    return;
  }
  std::string problem;
  if (!text) {
    problem = text.error().message();
  } else if (auto decoded = decodeText<JSONObject>(*text)) {
    store_ = std::move(*decoded);
    log_.debug("Loaded settings store with %d entries.", static_cast<int>(store_.size()));
    return;
  } else {
    problem = decoded.error().description();
  }

  log_.debug("No existing settings store was loaded.");
  // Whatever is there is the user's data: keep it under another name rather than write over it.
  if (auto aside = AtomicFile::setAsideCorrupt(storeFile_)) {
    log_.error("Settings store could not be read (%s); kept it as %s.", problem, aside->string());
  } else {
    fileMayBeReplaced_ = false;
    log_.error("Settings store could not be read (%s) nor set aside (%s); it will not be overwritten.", problem,
               aside.error().message());
  }
}

JSONObject SettingValueStore::store() const {
  return queue_->syncValue([&] {
    loadOnQueue();
    return store_;
  });
}

std::optional<std::string> SettingValueStore::settingString(const std::string& key,
                                                            std::optional<std::string> defaultValue) const {
  return queue_->syncValue([&]() -> std::optional<std::string> {
    loadOnQueue();
    auto found = store_.find(key);
    if (found != store_.end()) {
      if (const auto* text = found->second.value.get_ptr<const Json::string_t*>()) return *text;
    }
    return defaultValue;
  });
}

Expected<void, std::string> SettingValueStore::setString(const std::string& key, const std::string& value) {
  return setValue(key, JSONAny(Json(value)));
}

Expected<void, std::string> SettingValueStore::setValue(const std::string& key, JSONAny value) {
  return queue_->syncValue([&] {
    loadOnQueue();
    changed_ = true;
    store_.insert_or_assign(key, std::move(value));
    return persistOnQueue();
  });
}

Expected<void, std::string> SettingValueStore::setValues(const JSONObject& values) {
  if (values.empty()) return {};
  return queue_->syncValue([&] {
    loadOnQueue();
    changed_ = true;
    for (const auto& [key, value] : values) store_.insert_or_assign(key, value);
    return persistOnQueue();
  });
}

Expected<void, std::string> SettingValueStore::persist() {
  return queue_->syncValue([&] {
    loadOnQueue();
    return persistOnQueue();
  });
}

Expected<void, std::string> SettingValueStore::persistOnQueue() {
  auto fail = [&](std::string message) -> Expected<void, std::string> {
    log_.error("Unable to persist settings store with error: %s.", message);
    return makeUnexpected(std::move(message));
  };
  if (!fileMayBeReplaced_) {
    // The damaged file could not be set aside at start; try again before replacing it.
    if (std::error_code present; std::filesystem::exists(storeFile_, present)) {
      auto aside = AtomicFile::setAsideCorrupt(storeFile_);
      if (!aside) return fail("the unreadable settings file could not be set aside: " + aside.error().message());
    }
    fileMayBeReplaced_ = true;
  }
  auto text = encodeText(store_);
  if (!text) return fail(text.error().description());
  if (auto written = AtomicFile::write(storeFile_, *text); !written) return fail(written.error().message());
  return {};
}

}  // namespace kestrom

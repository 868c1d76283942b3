#include "KestromKit/storage/SettingValueStore.h"

#include <optional>
#include <utility>
#include <vector>

#include "KestromKit/model/Coding.h"
#include "platform/files/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

SettingValueStore::SettingValueStore(std::filesystem::path storeFile, std::shared_ptr<dispatch::Queue> queue,
                                     SettingLimits limits)
    : queue_(queue ? std::move(queue) : dispatch::makeSerialQueue("SettingValueStore")),
      storeFile_(std::move(storeFile)),
      limits_(limits),
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
  // A write killed half way leaves its temporary file beside the store.
  AtomicFile::removeStrayTemporaries(storeFile_);
  std::error_code sizeError;
  const auto size = std::filesystem::file_size(storeFile_, sizeError);
  // A file over the bound would cost seconds and hundreds of MiB at every start, and no save
  // could ever succeed again: it is set aside like a damaged one.
  const bool oversized = !sizeError && size > limits_.maxStoreBytes;
  auto text = oversized ? Expected<std::string, std::error_code>(std::string()) : AtomicFile::read(storeFile_);
  if (!text && text.error() == std::errc::no_such_file_or_directory) {
    log_.debug("No existing settings store was loaded.");
    return;
  }
  std::string problem;
  if (oversized) {
    problem = "it holds " + std::to_string(size) + " bytes, more than the " + std::to_string(limits_.maxStoreBytes) +
              " the settings may take";
  } else if (!text) {
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
  JSONObject values;
  values.emplace(key, std::move(value));
  return queue_->syncValue([&] { return applyOnQueue(values); });
}

Expected<void, std::string> SettingValueStore::setValues(const JSONObject& values) {
  if (values.empty()) return {};
  return queue_->syncValue([&] { return applyOnQueue(values); });
}

SettingValueStore::SaveResult SettingValueStore::applyInMemory(
    const JSONObject& values, std::vector<std::pair<std::string, std::optional<JSONAny>>>& previous) {
  for (const auto& [key, value] : values) {
    auto encoded = encodeText(value);
    if (encoded && encoded->size() > limits_.maxValueBytes) {
      std::string message = "the value of \"" + key + "\" takes " + std::to_string(encoded->size()) +
                            " bytes, more than the " + std::to_string(limits_.maxValueBytes) + " a setting may take";
      log_.error("Unable to persist settings store with error: %s.", message);
      return makeUnexpected(std::move(message));
    }
  }
  std::vector<std::string> changed;
  for (const auto& [key, value] : values) {
    auto found = store_.find(key);
    if (found == store_.end() || !(found->second == value)) changed.push_back(key);
    previous.emplace_back(key, found == store_.end() ? std::nullopt : std::optional<JSONAny>(found->second));
    store_.insert_or_assign(key, value);
  }
  return changed;
}

void SettingValueStore::putBack(std::vector<std::pair<std::string, std::optional<JSONAny>>>& previous) {
  for (auto it = previous.rbegin(); it != previous.rend(); ++it) {
    if (it->second)
      store_.insert_or_assign(it->first, std::move(*it->second));
    else
      store_.erase(it->first);
  }
}

Expected<void, std::string> SettingValueStore::applyOnQueue(const JSONObject& values) {
  loadOnQueue();
  // What the batch replaces, so a failure can put memory back as the file still has it.
  std::vector<std::pair<std::string, std::optional<JSONAny>>> previous;
  auto applied = applyInMemory(values, previous);
  if (!applied) return makeUnexpected(applied.error());
  auto persisted = persistOnQueue();
  if (persisted) changed_ = true;
  if (!persisted) putBack(previous);
  return persisted;
}

SettingValueStore::~SettingValueStore() {
  // The last save queued runs before this returns: the completions must not outlive the store.
  if (!queue_->isCurrent()) queue_->sync([] {});
}

void SettingValueStore::saveValues(JSONObject values, std::function<void(SaveResult)> completion) {
  std::lock_guard lock(pendingMutex_);
  pending_.push_back(PendingSave{std::move(values), std::move(completion)});
  if (saveQueued_) return;  // the save already queued takes this batch too
  saveQueued_ = true;
  queue_->async([this] { savePending(); });
}

void SettingValueStore::savePending() {
  std::vector<PendingSave> batches;
  {
    std::lock_guard lock(pendingMutex_);
    batches.swap(pending_);
    saveQueued_ = false;
  }
  if (batches.empty()) return;
  loadOnQueue();
  std::vector<std::pair<std::string, std::optional<JSONAny>>> previous;
  std::vector<std::pair<PendingSave*, SaveResult>> outcomes;
  std::size_t applied = 0;
  for (auto& batch : batches) {
    auto result = applyInMemory(batch.values, previous);
    if (result) ++applied;
    outcomes.emplace_back(&batch, std::move(result));
  }
  if (applied > 0) {
    auto persisted = persistOnQueue();
    if (persisted) {
      changed_ = true;
    } else {
      putBack(previous);
      if (applied > 1) {
        // Together they failed (the store's bound, a full disk): each batch on its own then
        // fares as it would have alone.
        for (auto& [batch, result] : outcomes) {
          if (!result) continue;
          std::vector<std::string> changed;
          for (const auto& [key, value] : batch->values) {
            auto found = store_.find(key);
            if (found == store_.end() || !(found->second == value)) changed.push_back(key);
          }
          auto alone = applyOnQueue(batch->values);
          if (alone)
            result = std::move(changed);
          else
            result = makeUnexpected(alone.error());
        }
      } else {
        for (auto& [batch, result] : outcomes)
          if (result) result = makeUnexpected(persisted.error());
      }
    }
  }
  for (auto& [batch, result] : outcomes)
    if (batch->completion) batch->completion(std::move(result));
}

std::size_t SettingValueStore::writeCount() const {
  return queue_->syncValue([&] { return writes_; });
}

Expected<void, std::string> SettingValueStore::persist() {
  return queue_->syncValue([&] {
    loadOnQueue();
    return persistOnQueue();
  });
}

Expected<void, std::string> SettingValueStore::persistOnQueue() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
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
  if (text->size() > limits_.maxStoreBytes)
    return fail("the settings would take " + std::to_string(text->size()) + " bytes, more than the " +
                std::to_string(limits_.maxStoreBytes) + " they may take");
  ++writes_;
  if (auto written = AtomicFile::write(storeFile_, *text); !written) return fail(written.error().message());
  return {};
}

}  // namespace kestrom

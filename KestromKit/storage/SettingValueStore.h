#pragma once
// The page's user settings: named JSON values, kept in memory and in "userSettings.json".

#include <filesystem>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>
#include <memory>
#include <optional>
#include <string>

#include "KestromKit/base/Expected.h"
#include "KestromKit/model/JSONAny.h"
#include "platform/dispatch/Queue.h"
#include "platform/log/Log.h"

namespace kestrom {

/// Bounds on what the page may store: a value's encoded size and the whole file's.
struct SettingLimits {
  std::size_t maxValueBytes = std::size_t{1} << 20;
  std::size_t maxStoreBytes = std::size_t{16} << 20;
};

/// Holds every setting the page saved, by name, each as the JSON value the page sent, and keeps
/// the file in step: one JSON object, member = setting, written whole and atomically after every
/// change. What is in memory is what is on disk: a change that would pass a bound, or that cannot
/// be written, leaves memory and file as they were. The file is read once: by `load`, or else at
/// the first use, so the owner can put an older version's settings in place first (the kit loads
/// it after its migrations); a file that cannot be read as a JSON object, or is larger than the
/// store may grow, is set aside as "<file>.corrupt" and never overwritten.
///
/// Home queue: its own serial queue "SettingValueStore". Every method hops onto it synchronously
/// (inline when the caller is already there), so any thread may call them; the main queue waits
/// on this queue, never the other way round. Owner: the kit, one per process, shared with the
/// settings handler and the configuration handler.
class SettingValueStore {
 public:
  /// Reads nothing yet (see `load`). `queue` is for tests; the default is a new "SettingValueStore".
  explicit SettingValueStore(std::filesystem::path storeFile, std::shared_ptr<dispatch::Queue> queue = nullptr,
                             SettingLimits limits = {});
  SettingValueStore(const SettingValueStore&) = delete;
  SettingValueStore& operator=(const SettingValueStore&) = delete;

  /// Reads the file (removing a temporary file a killed write left beside it); never fails. Reads
  /// it again when it was read before and no setting has changed since (so settings put in place
  /// by the owner in between are seen).
  void load();

  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }
  const std::filesystem::path& storeFile() const { return storeFile_; }

  /// A copy of every setting, taken on the queue.
  JSONObject store() const;
  /// The setting's value when it is a JSON string, else `defaultValue`.
  std::optional<std::string> settingString(const std::string& key,
                                           std::optional<std::string> defaultValue = std::nullopt) const;

  /// Sets one setting and writes the file. A value over the bound, a store that would grow over
  /// its bound, or a failed write changes nothing (memory and file keep what they held); the
  /// error says why, and is logged.
  Expected<void, std::string> setString(const std::string& key, const std::string& value);
  Expected<void, std::string> setValue(const std::string& key, JSONAny value);
  /// Sets several settings and writes the file once, so the batch lands whole or not at all, in
  /// memory as on disk.
  /// Settings not named keep their values; nothing is ever removed. An empty batch writes nothing.
  Expected<void, std::string> setValues(const JSONObject& values);
  /// Writes every setting to the file.
  Expected<void, std::string> persist();

  /// The keys of a saved batch whose values changed, or why the batch was not saved.
  using SaveResult = Expected<std::vector<std::string>, std::string>;
  /// `setValues` without waiting: returns at once; `completion` runs on the store's queue once
  /// the batch is on disk (or with the reason it is not). Batches that arrive while the file is
  /// being written are written together, once, in the order they came; each still succeeds or
  /// fails whole. Any thread.
  void saveValues(JSONObject values, std::function<void(SaveResult)> completion);
  /// How many times the file was written (for tests of the coalescing).
  std::size_t writeCount() const;

  /// Waits for the batches still being saved.
  ~SettingValueStore();

 private:
  struct PendingSave {
    JSONObject values;
    std::function<void(SaveResult)> completion;
  };
  /// Applies and writes every pending batch, once. Store queue.
  void savePending();
  /// Sets the batch in memory (not on disk); the keys it changed, or why it is refused (over a
  /// bound). `previous` gains what the batch replaced, first value only.
  SaveResult applyInMemory(const JSONObject& values,
                           std::vector<std::pair<std::string, std::optional<JSONAny>>>& previous);
  /// Puts back what `applyInMemory` replaced, newest first.
  void putBack(std::vector<std::pair<std::string, std::optional<JSONAny>>>& previous);
  void loadOnQueue() const;
  Expected<void, std::string> persistOnQueue();
  Expected<void, std::string> applyOnQueue(const JSONObject& values);

  std::shared_ptr<dispatch::Queue> queue_;
  std::filesystem::path storeFile_;
  SettingLimits limits_;
  // Guarded by queue_ (mutable: the first read of a const accessor loads the file).
  mutable JSONObject store_;
  mutable bool loaded_ = false;
  bool changed_ = false;  // a setting was set since the file was read
  mutable bool fileMayBeReplaced_ = true;  // false while a damaged file could not be set aside
  std::size_t writes_ = 0;  // on queue_

  std::mutex pendingMutex_;  // guards the two fields below
  std::vector<PendingSave> pending_;
  bool saveQueued_ = false;
  log::Logger log_;
};

}  // namespace kestrom

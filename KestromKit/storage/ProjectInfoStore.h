#pragma once
// The index of known projects, kept in "availableProjects.json" in the data folder: one JSON
// object that maps each project id to its reference {"id", "filePath", "name", "bookmark"?,
// "created"?}. Every change rewrites the whole file atomically.
//
// Home queue: "ProjectInfoStore" (`queue()`). `reference`, `allReferences` and `removeReference`
// run inside a synchronous block on it; `setReference` takes the queue itself (inline when called
// on it, as every synchronous call does). Owned by the kit.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/model/ProjectReference.h"
#include "platform/dispatch/Queue.h"

namespace kestrom {

class ProjectInfoStore {
 public:
  explicit ProjectInfoStore(std::filesystem::path file);

  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }
  const std::filesystem::path& file() const { return file_; }

  /// Reads the file into the index. A missing file gives an empty index; a file that cannot be
  /// parsed is set aside as ".corrupt" and the index starts empty; of a file with entries that
  /// cannot be read every entry that reads is kept (the others are logged and dropped) and
  /// written back at once, once a copy of the file is safe as ".corrupt" (on a full disk the file
  /// stays as it is, to be read again at the next start); a file that cannot be read at all is set
  /// aside before the first write replaces it. Waits for the queue; only the first call (or the first
  /// use of the index) reads the file, so a project opened before start-up reached `load` cannot
  /// write an index that lacks the entries on disk.
  void load();

  /// On `queue()`: the entry of `id`.
  std::optional<ProjectReference> reference(const std::string& id) const;
  /// On `queue()`: every entry, in the index's order.
  std::vector<ProjectReference> allReferences() const;
  /// On `queue()`: removes the entry of `id` and writes the file. False (and logged) when the file
  /// could not be written; the index in memory then stays as it was.
  bool removeReference(const std::string& id);
  /// On `queue()`: removes the entry of `id` only while it still points at `filePath` (a listing
  /// that found the file gone must not drop an entry that a rename just moved). False as above.
  bool removeReferenceIf(const std::string& id, const std::string& filePath);
  /// Any thread: stores `reference` under `id` (absent: removes the entry) and writes the file,
  /// on `queue()`. False (and logged) when the file could not be written; the index in memory then
  /// stays as it was, like the file.
  [[nodiscard]] bool setReference(std::optional<ProjectReference> reference, const std::string& id);

 private:
  bool setReferenceOnQueue(std::optional<ProjectReference> reference, const std::string& id);

  std::filesystem::path file_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::vector<ProjectReference> references_;  // touched on queue_ only; keys are the ids
  void loadOnQueue();
  /// Writes the whole index; false (and logged) when it could not be written.
  bool persist();
  /// Applies `edit` to the entries and writes the file; undoes `edit` when the write fails.
  bool change(const std::function<void()>& edit);
  void ensureLoaded() const;

  bool loaded_ = false;
  bool unreadable_ = false;                   // the file exists but could not be read at load
  bool damaged_ = false;                      // it lost entries at load and has no copy aside yet
};

}  // namespace kestrom

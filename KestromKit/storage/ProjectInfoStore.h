#pragma once
// The index of known projects, kept in "availableProjects.json" in the data folder: one JSON
// object that maps each project id to its reference {"id", "filePath", "name", "bookmark"?,
// "created"?}. Every change rewrites the whole file atomically.
//
// Home queue: "ProjectInfoStore" (`queue()`). `reference`, `allReferences` and `removeReference`
// run inside a synchronous block on it; `setReference` takes the queue itself and so must never be
// called from it. Owned by the kit.

#include <filesystem>
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
  /// parsed (or one bad entry in it) is set aside as ".corrupt" and the index starts empty; a file
  /// that cannot be read at all is set aside before the first write replaces it. Waits for the
  /// queue; only the first call (or the first use of the index) reads the file, so a project opened before start-up reached
  /// `load` cannot write an index that lacks the entries on disk.
  void load();

  /// On `queue()`: the entry of `id`.
  std::optional<ProjectReference> reference(const std::string& id) const;
  /// On `queue()`: every entry, in the index's order.
  std::vector<ProjectReference> allReferences() const;
  std::vector<ProjectReference> references() const { return allReferences(); }
  /// On `queue()`: removes the entry of `id` and writes the file.
  void removeReference(const std::string& id);
  /// On `queue()`: writes the whole index; false (and logged) when it could not be written.
  bool persist();

  /// Off `queue()`: stores `reference` under `id` (absent: removes the entry) and writes the file.
  void setReference(std::optional<ProjectReference> reference, const std::string& id);

 private:
  std::filesystem::path file_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::vector<ProjectReference> references_;  // touched on queue_ only; keys are the ids
  void loadOnQueue();
  void ensureLoaded() const;

  bool loaded_ = false;
  bool unreadable_ = false;                   // the file exists but could not be read at load
};

}  // namespace kestrom

#pragma once
// The index of known projects, kept in "availableProjects.json" in the data folder.
// Home queue: "ProjectInfoStore" (`queue()`); the main queue reads it synchronously there.
// Owned by the kit.

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

  /// Reads the file into the index; a file that does not parse is set aside and the index
  /// starts empty. Runs on the store's queue and waits for it.
  void load();
  /// The entry of `id`; call on the store's queue.
  std::optional<ProjectReference> reference(const std::string& id) const;
  std::vector<ProjectReference> references() const;

 private:
  std::filesystem::path file_;
  std::shared_ptr<dispatch::Queue> queue_;
  std::vector<ProjectReference> references_;  // touched on queue_ only
};

}  // namespace kestrom

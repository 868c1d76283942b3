#include "KestromKit/storage/ProjectInfoStore.h"

#include "KestromKit/base/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

ProjectInfoStore::ProjectInfoStore(std::filesystem::path file)
    : file_(std::move(file)), queue_(dispatch::makeSerialQueue("ProjectInfoStore")) {}

void ProjectInfoStore::load() {
  queue_->sync([this] {
    references_.clear();
    AtomicFile::removeStrayTemporaries(file_);  // left by a write that was killed half way
    auto text = AtomicFile::read(file_);
    if (!text) return;  // no index yet
    auto decoded = decodeText<std::vector<ProjectReference>>(*text);
    if (!decoded) {
      Constants::log().general.error("Unable to read the project index: %s", decoded.error().description());
      (void)AtomicFile::setAsideCorrupt(file_);
      return;
    }
    references_ = std::move(*decoded);
  });
}

std::optional<ProjectReference> ProjectInfoStore::reference(const std::string& id) const {
  for (const auto& reference : references_)
    if (reference.id == id) return reference;
  return std::nullopt;
}

std::vector<ProjectReference> ProjectInfoStore::references() const {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  return references_;
}

}  // namespace kestrom

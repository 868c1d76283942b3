#include "KestromKit/storage/ProjectInfoStore.h"

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "platform/files/AtomicFile.h"
#include "KestromKit/base/Constants.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace {

struct DecodedIndex {
  std::vector<ProjectReference> references;
  std::vector<CodingError> dropped;  // one per entry that could not be read
};

/// Every entry that reads; an entry that does not is dropped on its own, so one damaged entry
/// never costs the others.
Decoded<DecodedIndex> decodeIndex(const std::string& text) {
  auto tree = parseJson(text);
  if (!tree) return makeUnexpected(std::move(tree.error()));
  if (!tree->is_object()) return makeUnexpected(CodingError{CodingError::Kind::typeMismatch, {}, "Expected a Dictionary"});
  DecodedIndex index;
  index.references.reserve(tree->size());
  for (const auto& [key, value] : tree->items()) {
    auto reference = decode<ProjectReference>(value);
    if (!reference) {
      index.dropped.push_back(std::move(reference.error().in(key)));
      continue;
    }
    reference->id = key;  // the key is the id the rest of the host looks up
    index.references.push_back(std::move(*reference));
  }
  return index;
}

}  // namespace

ProjectInfoStore::ProjectInfoStore(std::filesystem::path file)
    : file_(std::move(file)), queue_(dispatch::makeSerialQueue("ProjectInfoStore")) {}

void ProjectInfoStore::load() {
  queue_->sync([this] { ensureLoaded(); });
}

void ProjectInfoStore::ensureLoaded() const {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (!loaded_) const_cast<ProjectInfoStore*>(this)->loadOnQueue();
}

void ProjectInfoStore::loadOnQueue() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  {
    loaded_ = true;
    references_.clear();
    AtomicFile::removeStrayTemporaries(file_);  // left by a write that was killed half way
    unreadable_ = false;
    auto text = AtomicFile::read(file_);
    if (!text) {
      if (text.error() != std::errc::no_such_file_or_directory) {
        Constants::log().general.error("Unable to read the project index %s: %s", file_.string(), text.error().message());
        unreadable_ = true;
      } else {
        Constants::log().general.debug("No existing project store was loaded.");
      }
      return;
    }
    auto decoded = decodeIndex(*text);
    if (!decoded) {
      Constants::log().general.error("Unable to read the project index: %s", decoded.error().description());
      if (!AtomicFile::setAsideCorrupt(file_)) unreadable_ = true;
      return;
    }
    references_ = std::move(decoded->references);
    if (!decoded->dropped.empty()) {
      for (const auto& dropped : decoded->dropped)
        Constants::log().general.error("Dropping an unreadable entry of the project index: %s", dropped.description());
      // A copy of the file as it was stays for inspection, and the readable entries are written
      // back at once: a host that stops before its first change still finds them at the next
      // start. Until both are done (on a full disk) the damaged file stays in place, so each
      // start reads its entries again.
      damaged_ = true;
      persist();  // a failure is logged; the next change tries again
    }
    Constants::log().general.debug("Loaded project store with %d entries.", static_cast<int>(references_.size()));
  }
}

std::optional<ProjectReference> ProjectInfoStore::reference(const std::string& id) const {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  ensureLoaded();
  for (const auto& reference : references_)
    if (reference.id == id) return reference;
  return std::nullopt;
}

std::vector<ProjectReference> ProjectInfoStore::allReferences() const {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  ensureLoaded();
  return references_;
}

bool ProjectInfoStore::removeReference(const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  return change([&] { std::erase_if(references_, [&](const ProjectReference& reference) { return reference.id == id; }); });
}

bool ProjectInfoStore::removeReferenceIf(const std::string& id, const std::string& filePath) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  ensureLoaded();
  auto found = std::find_if(references_.begin(), references_.end(), [&](const ProjectReference& reference) {
    return reference.id == id && reference.filePath == filePath;
  });
  if (found == references_.end()) return true;
  return change([&] { references_.erase(found); });
}

bool ProjectInfoStore::change(const std::function<void()>& edit) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  ensureLoaded();
  auto before = references_;
  edit();
  if (persist()) return true;
  // The file keeps what it had, and so does memory: what the host works with is what a restart
  // will find.
  references_ = std::move(before);
  return false;
}

bool ProjectInfoStore::persist() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  if (unreadable_) {
    // Keep what could not be read for inspection instead of writing over it.
    if (auto aside = AtomicFile::setAsideCorrupt(file_); !aside && aside.error() != std::errc::no_such_file_or_directory) {
      Constants::log().general.error("Unable to persist project store with error: %s.", aside.error().message());
      return false;
    }
    unreadable_ = false;
  }
  Json object = Json::object();
  for (const auto& reference : references_) {
    auto encoded = encode(reference);
    if (!encoded) {
      Constants::log().general.error("Unable to persist project store with error: %s.", encoded.error().description());
      return false;
    }
    object[reference.id] = std::move(*encoded);
  }
  // A damaged file is replaced only once a copy of it is safe.
  std::optional<std::filesystem::path> copy;
  struct stat damaged {};
  if (damaged_ && ::stat(file_.c_str(), &damaged) == 0) {
    auto copied = AtomicFile::copyAsideCorrupt(file_);
    if (!copied) {
      Constants::log().general.error("Unable to copy the damaged project index aside: %s.", copied.error().message());
      return false;
    }
    copy = *copied;
  }
  if (auto written = AtomicFile::write(file_, dumpJson(object)); !written) {
    Constants::log().general.error("Unable to persist project store with error: %s.", written.error().message());
    if (copy) {
      struct stat now {};
      if (::stat(file_.c_str(), &now) == 0 && now.st_dev == damaged.st_dev && now.st_ino == damaged.st_ino) {
        // Still in place, and copied again by the next try: this copy goes, so that a full disk
        // does not gain one at every start.
        std::error_code ignored;
        std::filesystem::remove(*copy, ignored);
      } else {
        damaged_ = false;  // replaced after all (only the folder was not flushed): the copy keeps it
      }
    }
    return false;
  }
  if (copy) Constants::log().general.error("The damaged project index was copied aside as %s", copy->string());
  damaged_ = false;
  return true;
}

bool ProjectInfoStore::setReference(std::optional<ProjectReference> reference, const std::string& id) {
  return queue_->syncValue([&] { return setReferenceOnQueue(std::move(reference), id); });
}

bool ProjectInfoStore::setReferenceOnQueue(std::optional<ProjectReference> reference, const std::string& id) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  return change([&] {
    auto found = std::find_if(references_.begin(), references_.end(),
                              [&](const ProjectReference& existing) { return existing.id == id; });
    if (reference) {
      reference->id = id;
      if (found != references_.end())
        *found = std::move(*reference);
      else
        references_.push_back(std::move(*reference));
    } else if (found != references_.end()) {
      references_.erase(found);
    }
  });
}

}  // namespace kestrom

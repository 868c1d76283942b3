#include "KestromKit/storage/EntrySpool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kestrom {

namespace {

constexpr const char* kNoRoom = "The temporary files of the entries on their way hold all they may";

std::atomic<std::uint64_t> budgetInUse{0};  // what the spools' files hold together

bool takeFromBudget(std::uint64_t bytes) {
  std::uint64_t used = budgetInUse.load();
  do {
    if (bytes > EntrySpool::kBudgetBytes - used) return false;
  } while (!budgetInUse.compare_exchange_weak(used, used + bytes));
  return true;
}

void giveBackToBudget(std::uint64_t bytes) { budgetInUse -= bytes; }

/// A spool's file on its way out with its share of the budget. The share goes back first, as soon
/// as the answer lets go: closing an unnamed file of hundreds of MiB frees its blocks, which takes
/// a while that no request should wait for.
struct SpooledFile {
  std::shared_ptr<const WebServerOpenFile> file;
  std::uint64_t taken;
  ~SpooledFile() {
    giveBackToBudget(taken);
    file.reset();
  }
};

}  // namespace

EntrySpool::~EntrySpool() {
  if (fd_ >= 0) ::close(fd_);
  giveBackToBudget(taken_);
}

std::string EntrySpool::add(std::string_view chunk, std::uint64_t declared) {
  if (fd_ < 0 && declared <= kHeldBytes && bytes_.size() + chunk.size() <= kHeldBytes) {
    if (bytes_.empty() && declared > 0) bytes_.reserve(static_cast<std::size_t>(declared));
    bytes_.append(chunk);
    return {};
  }
  if (fd_ < 0) {
    if (auto failed = spill(declared, chunk.size()); !failed.empty()) return failed;
  } else if (!reserve(written_ + chunk.size())) {
    return kNoRoom;  // longer than it declared, and the budget has no room for the rest
  }
  return write(chunk);
}

bool EntrySpool::reserve(std::uint64_t bytes) {
  if (bytes <= taken_) return true;
  if (!takeFromBudget(bytes - taken_)) {
    overBudget_ = true;
    return false;
  }
  taken_ = bytes;
  return true;
}

std::string EntrySpool::spill(std::uint64_t declared, std::size_t next) {
  // A known size is reserved whole, so an entry the budget has no room for is refused before a
  // byte of it is written.
  if (!reserve(std::max<std::uint64_t>(declared, bytes_.size() + next))) return kNoRoom;
  // Unnamed where the file system allows it, so nothing is left behind even by a killed host.
  fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string pattern = (folder_ / ".entry-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ >= 0) ::unlink(name.data());
  }
  if (fd_ < 0) return "Unable to make a temporary file in " + folder_.string() + ": " + std::strerror(errno);
  auto failed = write(bytes_);
  std::string().swap(bytes_);
  return failed;
}

std::string EntrySpool::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "Unable to write a temporary file in " + folder_.string() + ": " + std::strerror(errno);
    bytes.remove_prefix(static_cast<std::size_t>(n));
    written_ += static_cast<std::uint64_t>(n);
  }
  return {};
}

EntryBody EntrySpool::finish(std::string& error) {
  EntryBody body;
  if (fd_ < 0) {
    body.bytes = std::move(bytes_);
    return body;
  }
  const int fd = std::exchange(fd_, -1);
  auto file = WebServerOpenFile::adopt(fd, folder_ / "(entry)", /*regularOnly=*/true);
  if (!file) {
    error = "Unable to hand on a temporary file of " + folder_.string() + ": " + std::strerror(errno);
    return body;
  }
  // The answer holds the budget's share as long as it holds the file.
  std::shared_ptr<SpooledFile> spooled(new SpooledFile{std::move(file), std::exchange(taken_, 0)});
  body.file = std::shared_ptr<const WebServerOpenFile>(spooled, spooled->file.get());
  return body;
}

}  // namespace kestrom

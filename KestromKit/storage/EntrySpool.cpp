#include "KestromKit/storage/EntrySpool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kestrom {

EntrySpool::~EntrySpool() {
  if (fd_ >= 0) ::close(fd_);
}

std::string EntrySpool::add(std::string_view chunk, std::uint64_t declared) {
  if (fd_ < 0 && declared <= kHeldBytes && bytes_.size() + chunk.size() <= kHeldBytes) {
    if (bytes_.empty() && declared > 0) bytes_.reserve(static_cast<std::size_t>(declared));
    bytes_.append(chunk);
    return {};
  }
  if (fd_ < 0)
    if (auto failed = spill(); !failed.empty()) return failed;
  return write(chunk);
}

std::string EntrySpool::spill() {
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
  body.file = WebServerOpenFile::adopt(fd, folder_ / "(entry)", /*regularOnly=*/true);
  if (!body.file) error = "Unable to hand on a temporary file of " + folder_.string() + ": " + std::strerror(errno);
  return body;
}

}  // namespace kestrom

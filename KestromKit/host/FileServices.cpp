#include "KestromKit/host/FileServices.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "KestromKit/base/Utf8.h"

namespace kestrom {

namespace fs = std::filesystem;

namespace {

// Copies `source` into a new temporary file beside `destination`; its path, or empty on failure.
fs::path copyBeside(const fs::path& source, const fs::path& destination) {
  std::string pattern =
      (destination.parent_path() / std::string(".").append(destination.filename().string()).append(".XXXXXX")).string();
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return {};
  ::close(fd);
  std::error_code ec;
  fs::copy_file(source, pattern, fs::copy_options::overwrite_existing, ec);
  if (!ec) {
    int sync = ::open(pattern.c_str(), O_RDONLY | O_CLOEXEC);
    if (sync < 0 || ::fsync(sync) != 0) ec = std::error_code(errno, std::generic_category());
    if (sync >= 0) ::close(sync);
  }
  if (ec) {
    fs::remove(pattern, ec);
    return {};
  }
  return pattern;
}

}  // namespace

Expected<void, SaveError> moveReplacing(const fs::path& source, const fs::path& destination) {
  std::error_code ec;
  if (!fs::is_regular_file(source, ec)) return makeUnexpected(SaveError::moveError);
  if (::rename(source.c_str(), destination.c_str()) == 0) return {};
  if (errno != EXDEV) return makeUnexpected(SaveError::moveError);
  auto copy = copyBeside(source, destination);
  if (copy.empty()) return makeUnexpected(SaveError::moveError);
  if (::rename(copy.c_str(), destination.c_str()) != 0) {
    fs::remove(copy, ec);
    return makeUnexpected(SaveError::moveError);
  }
  fs::remove(source, ec);  // the saved file is in place; a leftover source only wastes space
  return {};
}

Expected<std::string, LoadError> readUtf8Text(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return makeUnexpected(LoadError::readError);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return makeUnexpected(LoadError::readError);
  std::string bytes = text.str();
  if (!isValidUtf8(bytes)) return makeUnexpected(LoadError::readError);
  return bytes;
}

std::string pathExtension(const fs::path& file) {
  auto extension = file.extension().string();
  return extension.empty() ? extension : extension.substr(1);
}

}  // namespace kestrom

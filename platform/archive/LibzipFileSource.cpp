#include "platform/archive/LibzipFileSource.h"

#include <fcntl.h>
#include <stdlib.h>  // mkostemp
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <system_error>
#include <string_view>
#include <utility>

#include "platform/files/DescriptorIO.h"
#include "platform/files/StepFailures.h"

namespace kestrom::archive {

namespace {

thread_local files::StepFailures steps;  // the steps of the calling thread's writes

/// Counts one file-system step of a write and tells whether a test asked it to fail.
bool injectedFailure() { return steps.injected(); }

std::string describeErrno(int code) { return std::generic_category().message(code); }

std::filesystem::path folderOf(const std::filesystem::path& file) {
  auto parent = file.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

/// The process's umask, read without changing it (umask(2) can only set it, which would race
/// with other threads creating files).
mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      try {
        return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8) & 0777);
      } catch (const std::exception&) {
        break;
      }
    }
  }
  return 022;
}

}  // namespace

files::StepFailures& writeSteps() { return steps; }

namespace testing {
void failNthStep(int n) { steps.failNth(n); }
int lastStepCount() { return steps.taken(); }
}  // namespace testing

// static
ArchiveResult<std::unique_ptr<LibzipFileSource>> LibzipFileSource::open(const std::filesystem::path& path,
                                                                         Access access) {
  // A rewrite renames over the file itself, not over a symbolic link to it, which would turn the
  // link into a copy and leave the real file as it was.
  std::error_code unresolved;
  auto resolved = access == Access::read ? path : std::filesystem::canonical(path, unresolved);
  std::unique_ptr<LibzipFileSource> source(new LibzipFileSource(unresolved ? path : resolved, access));
  zip_error_init(&source->error_);
  const std::string shown = path.string();

  if (access == Access::replace) {
    // Nothing of the old file is read: libzip sees a new archive. Only its mode is kept.
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) {
      if (!S_ISREG(existing.st_mode))
        return makeUnexpected(ArchiveError{ArchiveErrorCode::io, shown + " is not a regular file"});
      source->mode_ = existing.st_mode & 07777;
    } else if (errno == ENOENT) {
      source->mode_ = 0666 & ~currentUmask();
    } else {
      return makeUnexpected(ArchiveError{ArchiveErrorCode::io, "Unable to look at " + shown + ": " + describeErrno(errno)});
    }
    return source;
  }

  // O_NONBLOCK: opening a pipe must not wait for a writer; the type is checked right after.
  source->readFd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (source->readFd_ < 0) {
    const int code = errno;
    if (code == ENOENT || code == ENOTDIR)
      return makeUnexpected(ArchiveError{ArchiveErrorCode::missingFile, "No file at " + shown});
    return makeUnexpected(
        ArchiveError{ArchiveErrorCode::unreadableFile, "Unable to open " + shown + ": " + describeErrno(code)});
  }
  struct stat opened {};
  if (::fstat(source->readFd_, &opened) != 0)
    return makeUnexpected(ArchiveError{ArchiveErrorCode::unreadableFile, "Unable to look at " + shown + ": " + describeErrno(errno)});
  if (!S_ISREG(opened.st_mode))
    return makeUnexpected(ArchiveError{ArchiveErrorCode::notAZip, shown + " is not a regular file"});
  // A regular file: reads block as usual again.
  if (const int flags = ::fcntl(source->readFd_, F_GETFL); flags >= 0) (void)::fcntl(source->readFd_, F_SETFL, flags & ~O_NONBLOCK);
  source->exists_ = true;
  source->size_ = static_cast<std::uint64_t>(opened.st_size);
  source->mtime_ = opened.st_mtime;
  source->mode_ = opened.st_mode & 07777;
  return source;
}

LibzipFileSource::~LibzipFileSource() {
  discardTemporary();
  if (readFd_ >= 0) ::close(readFd_);
  zip_error_fini(&error_);
}

zip_source_t* LibzipFileSource::makeSource(zip_error_t* error) {
  return zip_source_function_create(&LibzipFileSource::callback, this, error);
}

// static
zip_int64_t LibzipFileSource::callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* self = static_cast<LibzipFileSource*>(state);
  try {
    return self->handle(data, length, command);
  } catch (...) {  // nothing may unwind through libzip's C frames
    zip_error_set(&self->error_, ZIP_ER_MEMORY, 0);
    return -1;
  }
}

zip_int64_t LibzipFileSource::handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
  switch (command) {
    case ZIP_SOURCE_SUPPORTS: {
      const zip_int64_t base = access_ == Access::read ? ZIP_SOURCE_SUPPORTS_SEEKABLE : ZIP_SOURCE_SUPPORTS_WRITABLE;
      return base | ZIP_SOURCE_MAKE_COMMAND_BITMASK(ZIP_SOURCE_ACCEPT_EMPTY);
    }
    case ZIP_SOURCE_ACCEPT_EMPTY:
      return 0;  // an empty file is not an archive
    case ZIP_SOURCE_STAT:
      return stat(data, length);
    case ZIP_SOURCE_OPEN:
      readOffset_ = 0;
      return 0;
    case ZIP_SOURCE_READ:
      return read(data, length);
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_SEEK: {
      const zip_int64_t offset = zip_source_seek_compute_offset(readOffset_, size_, data, length, &error_);
      if (offset < 0) return -1;
      readOffset_ = static_cast<std::uint64_t>(offset);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(readOffset_);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&error_, data, length);
    case ZIP_SOURCE_FREE:
      return 0;  // the caller owns this object
    case ZIP_SOURCE_BEGIN_WRITE:
      return beginWrite();
    case ZIP_SOURCE_WRITE:
      return write(data, length);
    case ZIP_SOURCE_SEEK_WRITE:
      return seekWrite(data, length);
    case ZIP_SOURCE_TELL_WRITE: {
      const off_t position = ::lseek(writeFd_, 0, SEEK_CUR);
      if (position < 0) {
        zip_error_set(&error_, ZIP_ER_TELL, errno);
        return -1;
      }
      return position;
    }
    case ZIP_SOURCE_COMMIT_WRITE:
      return commitWrite();
    case ZIP_SOURCE_ROLLBACK_WRITE:
      discardTemporary();
      return 0;
    case ZIP_SOURCE_REMOVE:
      // libzip asks this when no entry would remain. An archive file is never deleted here.
      failure_ = "Refusing to remove " + path_.string() + ": the archive would have no entries";
      zip_error_set(&error_, ZIP_ER_REMOVE, EPERM);
      return -1;
    default:
      zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

zip_int64_t LibzipFileSource::stat(void* data, zip_uint64_t length) {
  if (!exists_) {
    // libzip reads exactly this pair as "no archive there yet".
    zip_error_set(&error_, ZIP_ER_READ, ENOENT);
    return -1;
  }
  auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
  if (st == nullptr) return -1;
  zip_stat_init(st);
  st->size = size_;
  st->mtime = mtime_;
  st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
  return sizeof(zip_stat_t);
}

zip_int64_t LibzipFileSource::read(void* data, zip_uint64_t length) {
  const std::uint64_t wanted = std::min<std::uint64_t>(length, size_ - std::min(size_, readOffset_));
  for (;;) {
    const ssize_t n = ::pread(readFd_, data, wanted, static_cast<off_t>(readOffset_));
    if (n >= 0) {
      readOffset_ += static_cast<std::uint64_t>(n);
      return n;
    }
    if (errno != EINTR) {
      zip_error_set(&error_, ZIP_ER_READ, errno);
      return -1;
    }
  }
}

zip_int64_t LibzipFileSource::beginWrite() {
  discardTemporary();
  failure_.clear();
  // Hidden, beside the target, with a name nobody can predict or take first.
  std::string pattern = (folderOf(path_) / std::string(".").append(path_.filename().string()).append(".XXXXXX")).string();
  if (injectedFailure()) return fail(ZIP_ER_TMPOPEN, "Unable to create a temporary file beside " + path_.string());
  writeFd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (writeFd_ < 0) return fail(ZIP_ER_TMPOPEN, "Unable to create a temporary file beside " + path_.string());
  temporary_ = pattern;
  if (injectedFailure() || ::fchmod(writeFd_, mode_) != 0)
    return fail(ZIP_ER_TMPOPEN, "Unable to set the permissions of " + temporary_.string());
  return 0;
}

zip_int64_t LibzipFileSource::write(const void* data, zip_uint64_t length) {
  if (injectedFailure()) return fail(ZIP_ER_WRITE, "Unable to write " + temporary_.string());
  if (auto written = files::writeAll(writeFd_, std::string_view(static_cast<const char*>(data), length)); !written) {
    errno = written.error().value();
    return fail(ZIP_ER_WRITE, "Unable to write " + temporary_.string());
  }
  return static_cast<zip_int64_t>(length);
}

zip_int64_t LibzipFileSource::seekWrite(void* data, zip_uint64_t length) {
  auto* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &error_);
  if (args == nullptr) return -1;
  if (::lseek(writeFd_, static_cast<off_t>(args->offset), args->whence) < 0) {
    zip_error_set(&error_, ZIP_ER_SEEK, errno);
    return -1;
  }
  return 0;
}

zip_int64_t LibzipFileSource::commitWrite() {
  const std::string temporary = temporary_.string();
  if (injectedFailure() || ::fsync(writeFd_) != 0) return fail(ZIP_ER_WRITE, "Unable to flush " + temporary);
  if (injectedFailure()) return fail(ZIP_ER_CLOSE, "Unable to close " + temporary);
  if (::close(std::exchange(writeFd_, -1)) != 0) return fail(ZIP_ER_CLOSE, "Unable to close " + temporary);
  if (injectedFailure() || ::rename(temporary_.c_str(), path_.c_str()) != 0)
    return fail(ZIP_ER_RENAME, "Unable to rename " + temporary + " over " + path_.string());
  temporary_.clear();  // it is the archive now

  // Make the rename itself survive a crash. Some file systems cannot flush a folder and say so
  // with EINVAL; their renames are as durable as they get.
  const std::string folder = folderOf(path_).string();
  const int folderFd = injectedFailure() ? -1 : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return fail(ZIP_ER_WRITE, "Unable to open the folder " + folder + " to flush it");
  const bool flushed = !injectedFailure() && (::fsync(folderFd) == 0 || errno == EINVAL);
  const int flushError = errno;
  ::close(folderFd);
  errno = flushError;
  if (!flushed) return fail(ZIP_ER_WRITE, "Unable to flush the folder " + folder);
  return 0;
}

void LibzipFileSource::discardTemporary() {
  if (writeFd_ >= 0) ::close(std::exchange(writeFd_, -1));
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
}

zip_int64_t LibzipFileSource::fail(int zipError, const std::string& step) {
  const int code = errno;
  failure_ = step + ": " + describeErrno(code);
  discardTemporary();
  zip_error_set(&error_, zipError, code);
  return -1;
}

}  // namespace kestrom::archive

#pragma once
// The data source libzip reads an archive from and writes its rewrite to. libzip's own file
// source renames its temporary file over the archive without flushing it first, so a crash right
// after a save could leave an empty or partial project file; this one flushes the temporary file
// before the rename and the folder after it. Delete it once libzip syncs before renaming.
//
// Reading comes from the file as it was opened (one descriptor, positioned reads). A rewrite goes
// into a fresh temporary file in the same folder, made with mkostemp and given the original's
// permission bits; commit flushes, renames and flushes the folder; rollback removes it. The
// original is never opened for writing and never removed.
//
// Owned by the caller, who keeps it alive until the zip_t built on it is closed or discarded.
// One thread at a time.

#include <sys/types.h>
#include <zip.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/archive/Archive.h"
#include "platform/files/StepFailures.h"

namespace kestrom::archive {

class LibzipFileSource {
 public:
  enum class Access {
    read,     // an existing archive, read only
    update,   // an existing archive, rewritten on close
    replace,  // a new archive over whatever the path holds (possibly nothing)
  };

  /// Opens `path`. missingFile when nothing is there (except for `replace`), notAZip when it is
  /// not a regular file, unreadableFile when it cannot be read (io for `replace`).
  [[nodiscard]] static ArchiveResult<std::unique_ptr<LibzipFileSource>> open(const std::filesystem::path& path,
                                                                             Access access);
  ~LibzipFileSource();
  LibzipFileSource(const LibzipFileSource&) = delete;
  LibzipFileSource& operator=(const LibzipFileSource&) = delete;

  /// A libzip source calling back into this object; null (and `error` set) when libzip refuses.
  zip_source_t* makeSource(zip_error_t* error);
  /// The file-system step of a write that failed, described for the log; empty when none did.
  const std::string& failure() const { return failure_; }

 private:
  LibzipFileSource(std::filesystem::path path, Access access) : path_(std::move(path)), access_(access) {}

  static zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command);
  zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command);

  zip_int64_t stat(void* data, zip_uint64_t length);
  zip_int64_t read(void* data, zip_uint64_t length);
  zip_int64_t beginWrite();
  zip_int64_t write(const void* data, zip_uint64_t length);
  zip_int64_t seekWrite(void* data, zip_uint64_t length);
  zip_int64_t commitWrite();
  void discardTemporary();
  zip_int64_t fail(int zipError, const std::string& step);

  const std::filesystem::path path_;
  const Access access_;
  int readFd_ = -1;  // the original, -1 when there is none
  bool exists_ = false;
  std::uint64_t size_ = 0;
  std::time_t mtime_ = 0;
  mode_t mode_ = 0;  // permission bits the rewritten file gets
  std::uint64_t readOffset_ = 0;

  int writeFd_ = -1;
  std::filesystem::path temporary_;  // empty when no temporary file exists
  std::string failure_;
  zip_error_t error_{};
};

/// The file-system steps of the calling thread's writes, counted for archive::testing: each write
/// runs in one StepFailures::Write scope.
files::StepFailures& writeSteps();

}  // namespace kestrom::archive

#include "KestromKit/host/FileLogWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "KestromKit/base/Utf8.h"
#include "platform/files/DescriptorIO.h"
#include "KestromKit/base/Constants.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace {

int openForAppending(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
}

}  // namespace

FileLogWriter::FileLogWriter(const std::filesystem::path& directory)
    : filePath_(directory / "logs" / "ostrel.log"),
      queue_(dispatch::makeSerialQueue("Log file")),
      log_(Constants::log().general),
      dateFormatter_(iso8601DateFormatter()) {
  fileHandle_ = queue_->syncValue([this] { return openFile(); });
}

FileLogWriter::~FileLogWriter() {
  queue_->sync([this] {
    if (fileHandle_ >= 0) ::close(fileHandle_);
    fileHandle_ = -1;
  });
}

bool FileLogWriter::isOpen() const {
  return queue_->syncValue([this] { return fileHandle_ >= 0; });
}

int FileLogWriter::openFile() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  std::error_code ec;
  if (!std::filesystem::exists(filePath_, ec)) createFile();
  return openForAppending(filePath_);
}

void FileLogWriter::createFile() {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  std::error_code ec;
  std::filesystem::create_directories(filePath_.parent_path(), ec);
  std::string failure;
  if (ec) {
    failure = ec.message();
  } else {
    int fd = ::open(filePath_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      failure = "FileLogError.creation (" + std::string(std::strerror(errno)) + ")";
    } else {
      ::close(fd);
    }
  }
  if (!failure.empty()) {
    log_.error("Unable to create log file at path: %s, error: %s", filePath_.string(), failure);
  }
}

void FileLogWriter::write(const std::string& text) {
  queue_->sync([this, &text] {
    if (fileHandle_ < 0) return;
    if (!isValidUtf8(text)) return;  // a line is kept whole or not at all
    std::string line = dateFormatter_.string(std::chrono::system_clock::now()) + ": " + text + "\n";
    if (isTooLarge()) {
      restartWith(line);
    } else {
      append(line);
    }
  });
}

bool FileLogWriter::isTooLarge() const {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  struct stat attributes {};
  if (::stat(filePath_.c_str(), &attributes) != 0) {
    log_.error("Cant get attributes for file at path: %s, error: %s", filePath_.string(), std::strerror(errno));
    return true;
  }
  return static_cast<std::uint64_t>(attributes.st_size) >= kMaxLogSize;
}

// Replaces the file with one holding only `line`, written beside it and renamed over it, then
// moves the handle to the new file: the old handle would still point at the replaced file, and
// every later line would vanish with it. No fsync: the main queue waits for every console line,
// and a log line is not worth a disk flush (readers still see the old file or the new, whole).
void FileLogWriter::restartWith(const std::string& line) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  std::string pattern = filePath_.string() + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return;
  bool written = files::writeAll(fd, line).has_value() && ::fchmod(fd, 0644) == 0;
  ::close(fd);
  if (!written || ::rename(name.data(), filePath_.c_str()) != 0) {
    ::unlink(name.data());
    return;
  }
  int reopened = openForAppending(filePath_);
  if (reopened < 0) return;  // keep the old handle rather than none
  ::close(fileHandle_);
  fileHandle_ = reopened;
}

void FileLogWriter::append(const std::string& line) {
  KESTROM_ASSERT_ON_QUEUE(queue_);
  // Opened with O_APPEND: every write lands at the current end of the file.
  (void)files::writeAll(fileHandle_, line);  // a line that cannot be written is dropped
}

}  // namespace kestrom

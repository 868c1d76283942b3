#include "platform/files/AtomicFile.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2, RENAME_NOREPLACE (glibc >= 2.28)
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <utility>

#include "platform/files/DescriptorIO.h"
#include "platform/files/StepFailures.h"

namespace kestrom::AtomicFile {

namespace {

thread_local files::StepFailures steps;  // the steps of the calling thread's writes

std::error_code lastError() { return {errno, std::generic_category()}; }

/// Counts one file-system step and tells whether the test asked it to fail.
bool injectedFailure() { return steps.injected(); }

/// Closes a descriptor on every path out of a function unless released.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::filesystem::path folderOf(const std::filesystem::path& target) {
  auto parent = target.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

std::string randomSuffix() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(12, '0');
  auto bits = generator();
  for (auto& c : text) {
    c = kDigits[bits & 0xF];
    bits >>= 4;
  }
  return text;
}

/// Creates a fresh file next to `target`, named so that no reader mistakes it for the target.
Expected<std::filesystem::path, std::error_code> createTemporary(const std::filesystem::path& target, int& fd) {
  const auto folder = folderOf(target);
  const std::string stem = std::string(".").append(target.filename().string()).append(".tmp-");
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = folder / (stem + randomSuffix());
    if (injectedFailure()) return makeUnexpected(lastError());
    fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return candidate;
    if (errno != EEXIST) return makeUnexpected(lastError());
  }
  return makeUnexpected(std::make_error_code(std::errc::file_exists));
}

Expected<void, std::error_code> syncFolder(const std::filesystem::path& folder, bool countSteps = true) {
  if (countSteps && injectedFailure()) return makeUnexpected(lastError());
  Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return makeUnexpected(lastError());
  if (countSteps && injectedFailure()) return makeUnexpected(lastError());
  // Some file systems cannot sync a folder and say so with EINVAL; their renames are as durable
  // as they get.
  if (::fsync(dir.get()) != 0 && errno != EINVAL) return makeUnexpected(lastError());
  return {};
}

/// Renames without ever replacing an existing file.
int renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // The file system has no RENAME_NOREPLACE: a hard link fails on an existing name just as well.
  if (::link(from.c_str(), to.c_str()) != 0) return -1;
  ::unlink(from.c_str());
  return 0;
}

enum class Replace { yes, no };

Expected<void, std::error_code> writeReplacing(const std::filesystem::path& target, std::string_view bytes,
                                               Replace replace, const Check& check) {
  files::StepFailures::Write counting(steps);  // an injected failure is meant for this write only
  int rawFd = -1;
  auto temporary = createTemporary(target, rawFd);
  if (!temporary) return makeUnexpected(temporary.error());
  Descriptor fd(rawFd);

  auto fail = [&](std::error_code error) -> Expected<void, std::error_code> {
    if (fd.get() >= 0) ::close(fd.release());
    ::unlink(temporary->c_str());
    return makeUnexpected(error);
  };

  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0) ::fchmod(fd.get(), existing.st_mode & 07777);

  if (injectedFailure()) return fail(lastError());
  if (auto written = files::writeAll(fd.get(), bytes); !written) return fail(written.error());
  if (check)
    if (auto refused = check(*temporary)) return fail(refused);
  if (injectedFailure() || ::fsync(fd.get()) != 0) return fail(lastError());
  if (injectedFailure() || ::close(fd.release()) != 0) return fail(lastError());
  if (injectedFailure()) return fail(lastError());
  const int renamed = replace == Replace::yes ? ::rename(temporary->c_str(), target.c_str())
                                              : renameNoReplace(*temporary, target);
  if (renamed != 0) return fail(lastError());
  return syncFolder(folderOf(target));
}

}  // namespace

Expected<void, std::error_code> write(const std::filesystem::path& target, std::string_view bytes, const Check& check) {
  return writeReplacing(target, bytes, Replace::yes, check);
}

Expected<void, std::error_code> writeNew(const std::filesystem::path& target, std::string_view bytes,
                                         const Check& check) {
  return writeReplacing(target, bytes, Replace::no, check);
}

Expected<void, std::error_code> moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (renameNoReplace(from, to) == 0) return syncFolder(folderOf(to), false);
  if (errno != EXDEV) return makeUnexpected(lastError());
  struct stat source {};
  if (::stat(from.c_str(), &source) != 0) return makeUnexpected(lastError());
  if (!S_ISREG(source.st_mode)) return makeUnexpected(std::make_error_code(std::errc::not_supported));
  auto bytes = read(from);
  if (!bytes) return makeUnexpected(bytes.error());
  if (auto written = writeNew(to, *bytes); !written) return written;
  ::chmod(to.c_str(), source.st_mode & 07777);
  if (::unlink(from.c_str()) != 0) return makeUnexpected(lastError());
  return syncFolder(folderOf(from), false);
}

Expected<std::string, std::error_code> read(const std::filesystem::path& path) {
  // Without O_NONBLOCK, opening a pipe waits for a writer; a pipe or a device is never read.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return makeUnexpected(lastError());
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return makeUnexpected(lastError());
  if (S_ISDIR(info.st_mode)) return makeUnexpected(std::make_error_code(std::errc::is_a_directory));
  if (!S_ISREG(info.st_mode)) return makeUnexpected(std::make_error_code(std::errc::not_supported));
  std::string content;
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return makeUnexpected(lastError());
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

Expected<std::filesystem::path, std::error_code> setAsideCorrupt(const std::filesystem::path& path) {
  const auto folder = folderOf(path);
  const std::string name = path.filename().string();
  for (int number = 0; number < 10000; ++number) {
    auto candidate = folder / (number == 0 ? name + ".corrupt" : name + "." + std::to_string(number) + ".corrupt");
    if (renameNoReplace(path, candidate) == 0) {
      (void)syncFolder(folder, false);  // best effort: the file is already safe under its new name
      return candidate;
    }
    if (errno != EEXIST) return makeUnexpected(lastError());
  }
  return makeUnexpected(std::make_error_code(std::errc::file_exists));
}

Expected<std::filesystem::path, std::error_code> copyAsideCorrupt(const std::filesystem::path& path) {
  struct stat source {};
  if (::stat(path.c_str(), &source) != 0) return makeUnexpected(lastError());
  auto bytes = read(path);
  if (!bytes) return makeUnexpected(bytes.error());
  const auto folder = folderOf(path);
  const std::string name = path.filename().string();
  for (int number = 0; number < 10000; ++number) {
    auto candidate = folder / (number == 0 ? name + ".corrupt" : name + "." + std::to_string(number) + ".corrupt");
    auto written = writeNew(candidate, *bytes);
    if (written) {
      ::chmod(candidate.c_str(), source.st_mode & 07777);
      return candidate;
    }
    if (written.error() != std::errc::file_exists) return makeUnexpected(written.error());
  }
  return makeUnexpected(std::make_error_code(std::errc::file_exists));
}

std::size_t removeStrayTemporaries(const std::filesystem::path& target) {
  const std::string stem = std::string(".").append(target.filename().string()).append(".tmp-");
  std::error_code error;
  std::size_t removed = 0;
  for (std::filesystem::directory_iterator it(folderOf(target), error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() != stem.size() + 12 || name.compare(0, stem.size(), stem) != 0) continue;
    std::error_code kind;
    if (!it->is_regular_file(kind)) continue;
    std::error_code gone;
    if (std::filesystem::remove(it->path(), gone)) ++removed;
  }
  return removed;
}

std::size_t removeStrayTemporariesIn(const std::filesystem::path& folder, std::string_view extension) {
  static constexpr std::string_view kMarker = ".tmp-";
  static constexpr std::size_t kSuffix = 12;  // randomSuffix()
  std::error_code error;
  std::size_t removed = 0;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    // ".<name><extension>.tmp-<12 hex digits>", and nothing else.
    if (name.size() < 1 + extension.size() + kMarker.size() + kSuffix + 1 || name[0] != '.') continue;
    const std::string_view view(name);
    const auto suffix = view.substr(view.size() - kSuffix);
    if (suffix.find_first_not_of("0123456789abcdef") != std::string_view::npos) continue;
    const auto rest = view.substr(0, view.size() - kSuffix);
    if (!rest.ends_with(std::string(extension) + std::string(kMarker))) continue;
    std::error_code kind;
    if (!it->is_regular_file(kind) || it->is_symlink(kind)) continue;
    std::error_code gone;
    if (std::filesystem::remove(it->path(), gone)) ++removed;
  }
  return removed;
}

namespace testing {
void failNthStep(int n) { steps.failNth(n); }
int lastStepCount() { return steps.taken(); }
}  // namespace testing

}  // namespace kestrom::AtomicFile

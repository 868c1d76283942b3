#include "KestromKit/base/Constants.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/log/Fatal.h"

namespace kestrom::Constants {

namespace {

std::string envOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

std::string& privateTemporaryFolder() {
  static std::string folder;
  return folder;
}

pid_t& privateTemporaryFolderOwner() {
  static pid_t owner = 0;
  return owner;
}

/// The folder is the process's own: nothing else will ever clean it up. A forked child that exits
/// (a death test, a helper that never reached exec) inherits the handler but not the folder.
void removePrivateTemporaryFolder() {
  std::error_code ignored;
  if (!privateTemporaryFolder().empty() && privateTemporaryFolderOwner() == ::getpid())
    std::filesystem::remove_all(privateTemporaryFolder(), ignored);
}

constexpr const char* kOwnerLockName = ".owner.lock";

/// Locks the owner lock of the new folder for as long as this process lives (the descriptor is
/// never closed; exec'd children do not inherit it). The lock is taken under another name and
/// renamed into place, so a sweeping host never finds the lock file unlocked while its owner runs.
void lockPrivateTemporaryFolder(const std::string& folder) {
  const std::string staging = folder + "/" + kOwnerLockName + ".new";
  const int fd = ::open(staging.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;  // the folder still works; a later sweep just never recognises it
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::rename(staging.c_str(), (folder + "/" + kOwnerLockName).c_str()) != 0) {
    ::unlink(staging.c_str());
    ::close(fd);
  }
}

std::string makePrivateTemporaryFolder() {
  std::string base = envOr("TMPDIR", "/tmp");
  if (auto removed = removeAbandonedTemporaryFolders(base))
    log::Logger(kitBundleIdentifier(), "General")
        .info("Removed %d temporary folders of hosts that no longer run", static_cast<int>(removed));
  std::string pattern = base + "/" + kitBundleIdentifier() + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) log::fatalError("KestromKit/Constants", "Unable to create the temporary folder");
  lockPrivateTemporaryFolder(buffer.data());
  privateTemporaryFolder() = buffer.data();
  privateTemporaryFolderOwner() = ::getpid();
  std::atexit(removePrivateTemporaryFolder);
  return buffer.data();
}

}  // namespace

std::size_t removeAbandonedTemporaryFolders(const std::filesystem::path& base) {
  const std::string prefix = kitBundleIdentifier() + ".";
  std::error_code error;
  std::vector<std::filesystem::path> abandoned;
  for (std::filesystem::directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    struct stat folder{};
    if (::lstat(it->path().c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) || folder.st_uid != ::getuid()) continue;
    const int fd = ::open((it->path() / kOwnerLockName).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;  // no owner lock: not recognisably ours
    struct stat lock{};
    // Whoever holds the lock is alive; a held lock answers EWOULDBLOCK at once.
    if (::fstat(fd, &lock) == 0 && S_ISREG(lock.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
      abandoned.push_back(it->path());
    ::close(fd);
  }
  std::size_t removed = 0;
  for (const auto& folder : abandoned) {
    std::error_code ignored;
    if (std::filesystem::remove_all(folder, ignored) > 0 && !ignored) ++removed;
  }
  return removed;
}

std::string kitBundleIdentifier() { return "org.kestrom.KestromKit"; }

const Path& path() {
  static const Path value = [] {
    Path p;
    const auto& home = files::homeFolder();
    p.caches = envOr("XDG_CACHE_HOME", (home / ".cache").string());
    p.applicationSupport = envOr("XDG_DATA_HOME", (home / ".local/share").string());
    p.tmp = makePrivateTemporaryFolder();
    p.macOS.home = home;
    p.macOS.trash = p.applicationSupport / "Trash/files";
    p.iOS.home = home;
    return p;
  }();
  return value;
}

const LogTable& log() {
  static const LogTable table = [] {
    auto make = [](const char* category) { return log::Logger(kitBundleIdentifier(), category); };
    return LogTable{make("General"),   make("Audio"),           make("WebServer"), make("Bluetooth"),
                    make("JavaScript"), make("WebSocketServer"), make("WebSocket"), make("SensorData"),
                    make("WebView"),   make("Projects")};
  }();
  return table;
}

std::filesystem::path documentsFolder() {
  if (const char* dir = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS); dir && *dir) return dir;
  return path().macOS.home / "Documents";
}

std::filesystem::path expandTildePath(const std::string& text) {
  if (text == "~") return path().macOS.home;
  if (text.rfind("~/", 0) == 0) return path().macOS.home / text.substr(2);
  return text;
}

}  // namespace kestrom::Constants

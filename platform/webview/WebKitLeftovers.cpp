#include "platform/webview/WebKitLeftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <webkit/webkit.h>

#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/jsontext/JsonText.h"
#include "platform/log/GuardedCallback.h"

namespace kestrom::webview {

namespace {

// A process may start this long after the folder it owns was stamped and still own it: the boot
// time the kernel reports is whole seconds.
constexpr double kClockSlackSeconds = 2;

std::optional<long> decimal(std::string_view text) {
  long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || text[0] == '0') return std::nullopt;
  return value;
}

// The <pid> of "webkit-<pid>-<n>"; empty for any other name.
std::optional<long> ownerOf(std::string_view name) {
  constexpr std::string_view kPrefix = "webkit-";
  if (!name.starts_with(kPrefix)) return std::nullopt;
  name.remove_prefix(kPrefix.size());
  auto dash = name.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  auto count = name.substr(dash + 1);
  if (count.empty() || count.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  return decimal(name.substr(0, dash));
}

// The fields of /proc/<pid>/stat after the command name (which may hold spaces and parentheses).
std::optional<std::istringstream> statFields(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  auto close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  return std::istringstream(line.substr(close + 1));
}

std::optional<long> parentOf(long pid) {
  auto fields = statFields(pid);
  std::string state;
  long parent = 0;
  if (!fields || !(*fields >> state >> parent)) return std::nullopt;
  return parent;
}

// When the process started, in seconds since the epoch; empty when there is no such process.
std::optional<double> startOf(long pid) {
  auto fields = statFields(pid);
  if (!fields) return std::nullopt;
  std::string field;
  for (int i = 3; i < 22; ++i) *fields >> field;  // fields 3 to 21 of stat(5)
  unsigned long long ticks = 0;
  if (!(*fields >> ticks)) return std::nullopt;
  std::ifstream stat("/proc/stat");
  for (std::string key; stat >> key;) {
    if (key == "btime") {
      double boot = 0;
      stat >> boot;
      return boot + static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
  }
  return std::nullopt;
}

// Whether the sandbox the folder describes still runs under `owner`: bubblewrap writes the pid of
// the sandbox's first process, whose parent is the bubblewrap that `owner` started.
bool sandboxRuns(int folderFd, long owner) {
  int fd = openat(folderFd, "bwrapinfo.json", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536;) text.append(buffer, got);
  close(fd);
  auto info = jsontext::parse(text);
  if (!info || !info->is_object() || !info->contains("child-pid") || !(*info)["child-pid"].is_number_integer())
    return false;
  auto launcher = parentOf((*info)["child-pid"].get<long>());
  return launcher && parentOf(*launcher) == owner;
}

bool isLocalHost(const char* name) {
  std::string_view host = name ? name : "";
  return host == "localhost" || host == "127.0.0.1" || host == "::1" || host == "[::1]";
}

}  // namespace

std::filesystem::path sandboxDescriptionFolder() { return std::filesystem::path(g_get_user_runtime_dir()) / ".flatpak"; }

int removeStaleSandboxDescriptions(const std::filesystem::path& folder) {
  int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folderFd < 0) return 0;
  DIR* dir = fdopendir(folderFd);
  if (!dir) {
    close(folderFd);
    return 0;
  }
  int removed = 0;
  while (dirent* entry = readdir(dir)) {
    auto owner = ownerOf(entry->d_name);
    if (!owner || *owner == getpid()) continue;
    struct stat info {};
    if (fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != getuid()) {
      continue;
    }
    if (auto started = startOf(*owner)) {
      double stamped = static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
      if (*started <= stamped + kClockSlackSeconds) continue;  // it may be the process that made it
      int fd = openat(folderFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      bool runs = fd >= 0 && sandboxRuns(fd, *owner);
      if (fd >= 0) close(fd);
      if (runs) continue;
    }
    // remove_all removes a symbolic link it meets, never what it points to.
    std::error_code failed;
    if (std::filesystem::remove_all(folder / entry->d_name, failed) > 0 && !failed) ++removed;
  }
  closedir(dir);
  return removed;
}

void removeCachedLocalPages(WebKitNetworkSession* session) {
  WebKitWebsiteDataManager* manager = webkit_network_session_get_website_data_manager(session);
  webkit_website_data_manager_fetch(
      manager, WEBKIT_WEBSITE_DATA_DISK_CACHE, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer) {
        log::guardedCallback("cached pages", [&] {
          auto* manager = WEBKIT_WEBSITE_DATA_MANAGER(source);
          GList* all = webkit_website_data_manager_fetch_finish(manager, result, nullptr);
          GList* local = nullptr;
          for (GList* item = all; item; item = item->next) {
            auto* data = static_cast<WebKitWebsiteData*>(item->data);
            if (isLocalHost(webkit_website_data_get_name(data))) local = g_list_prepend(local, data);
          }
          if (local) webkit_website_data_manager_remove(manager, WEBKIT_WEBSITE_DATA_DISK_CACHE, local, nullptr, nullptr, nullptr);
          g_list_free(local);
          g_list_free_full(all, reinterpret_cast<GDestroyNotify>(webkit_website_data_unref));
        });
      },
      nullptr);
}

}  // namespace kestrom::webview

#include "platform/files/HomeFolder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/log/Fatal.h"

namespace kestrom::files {

namespace {

std::filesystem::path lookUpHome() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result || !result->pw_dir)
    log::fatalError("HomeFolder", "Unable to resolve directories for the current user");
  return result->pw_dir;
}

}  // namespace

const std::filesystem::path& homeFolder() {
  static const std::filesystem::path home = lookUpHome();
  return home;
}

std::string tildePath(const std::filesystem::path& p) { return tildePath(p, homeFolder()); }

std::string tildePath(const std::filesystem::path& p, const std::filesystem::path& homeFolder) {
  std::string text = p.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();  // "a/b/" normalises to "a/b/"
  std::string home = homeFolder.lexically_normal().string();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home.size() > 1 && home.front() == '/' && text.rfind(home, 0) == 0 &&
      (text.size() == home.size() || text[home.size()] == '/'))
    text.replace(0, home.size(), 1, '~');
  return text;
}

}  // namespace kestrom::files

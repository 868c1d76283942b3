#include "tests/archive/ArchiveTestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace kestrom::archive::test {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrom-archive-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempFolder::names() const {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(path_)) names.push_back(item.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

mode_t permissions(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

void writeDeflatedArchive(const std::filesystem::path& path, const std::vector<std::pair<std::string, std::string>>& entries) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(archive, nullptr) << "libzip error " << error;
  for (const auto& [name, bytes] : entries) {
    zip_source_t* source = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
    ASSERT_NE(source, nullptr);
    const zip_int64_t index = zip_file_add(archive, name.c_str(), source, 0);
    ASSERT_GE(index, 0);
    ASSERT_EQ(zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9), 0);
  }
  ASSERT_EQ(zip_close(archive), 0) << zip_strerror(archive);
}

bool passesWithoutRoot(const std::function<bool()>& check) {
  if (::geteuid() != 0) return check();
  const pid_t child = ::fork();
  if (child < 0) {
    ADD_FAILURE() << "fork failed";
    return false;
  }
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool unzipTestPasses(const std::filesystem::path& path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = "unzip", flags = "-tqq", file = path.string();
  char* argv[] = {program.data(), flags.data(), file.data(), nullptr};
  pid_t child = 0;
  const int spawned = ::posix_spawnp(&child, "unzip", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "unable to run unzip (package unzip)";
    return false;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

StoredEntry storedEntry(const std::filesystem::path& archive, const std::string& name) {
  StoredEntry entry;
  int error = 0;
  zip_t* zip = zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (zip == nullptr) return entry;
  const zip_int64_t index = zip_name_locate(zip, name.c_str(), 0);
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (index >= 0 && zip_stat_index(zip, static_cast<zip_uint64_t>(index), 0, &stat) == 0) {
    entry.method = stat.comp_method;
    for (const zip_flags_t flags : {zip_flags_t{ZIP_FL_COMPRESSED}, zip_flags_t{0}}) {
      std::string& into = flags ? entry.rawData : entry.content;
      zip_file_t* file = zip_fopen_index(zip, static_cast<zip_uint64_t>(index), flags);
      if (file == nullptr) continue;
      char chunk[4096];
      zip_int64_t n = 0;
      while ((n = zip_fread(file, chunk, sizeof chunk)) > 0) into.append(chunk, static_cast<std::size_t>(n));
      zip_fclose(file);
    }
  }
  zip_discard(zip);
  return entry;
}

void patchCentralField(const std::filesystem::path& archive, const std::string& name, std::size_t fieldOffset,
                       std::uint32_t value) {
  std::string bytes = readFile(archive);
  const std::string signature("PK\x01\x02", 4);
  for (std::size_t at = bytes.find(signature); at != std::string::npos; at = bytes.find(signature, at + 4)) {
    const auto u16 = [&](std::size_t offset) {
      return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + offset])) |
             static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + offset + 1])) << 8;
    };
    if (at + 46 > bytes.size() || bytes.compare(at + 46, u16(28), name) != 0 || u16(28) != name.size()) continue;
    for (int i = 0; i < 4; ++i) bytes[at + fieldOffset + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
    writeFile(archive, bytes);
    return;
  }
  ADD_FAILURE() << "no central-directory record for " << name;
}

}  // namespace kestrom::archive::test

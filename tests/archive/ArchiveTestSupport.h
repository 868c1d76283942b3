#pragma once
// Temporary folders, whole-file helpers and independent checks of ZIP files (libzip directly, and
// the unzip tool) for the archive tests.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kestrom::archive::test {

/// A fresh folder under $TMPDIR, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  /// The names of everything in the folder, sorted.
  std::vector<std::string> names() const;

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
mode_t permissions(const std::filesystem::path& path);

/// An archive as another program would write it: entries deflated (libzip's default), directly
/// with libzip.
void writeDeflatedArchive(const std::filesystem::path& path, const std::vector<std::pair<std::string, std::string>>& entries);

/// Whether `check` returns true when run without root's power over permissions: as root in a
/// child that has become the user "nobody" (65534), otherwise right here.
bool passesWithoutRoot(const std::function<bool()>& check);

/// Whether "unzip -t" finds the archive sound (every entry extracts and matches its checksum).
bool unzipTestPasses(const std::filesystem::path& path);

/// What libzip itself says about an entry: its data exactly as stored (still compressed) and its
/// compression method. Empty data and -1 when the entry cannot be found.
struct StoredEntry {
  std::string rawData;
  int method = -1;
  std::string content;  // decompressed
};
StoredEntry storedEntry(const std::filesystem::path& archive, const std::string& name);

/// Overwrites the 4-byte little-endian field at `fieldOffset` of the central-directory record of
/// entry `name` (20: compressed size, 24: uncompressed size, 16: checksum).
void patchCentralField(const std::filesystem::path& archive, const std::string& name, std::size_t fieldOffset,
                       std::uint32_t value);

}  // namespace kestrom::archive::test

#pragma once
// A fresh folder under the system's temporary folder for one test, removed with everything in it
// when the test ends.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace kestrom::test {

class TempFolder {
 public:
  /// `prefix` names the folder ("kestrom-dialogs" gives "/tmp/kestrom-dialogs-Ab12Cd"); empty
  /// path() when it could not be made.
  explicit TempFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace kestrom::test

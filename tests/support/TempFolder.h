#pragma once
// A fresh folder under the system's temporary folder for one test, removed with everything in it
// when the test ends.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace kestrom::test {

/// The system's temporary folder, or /tmp when it is so deep that a socket path needing `room`
/// bytes below it (a bus's, a web view's) would pass the 107 bytes a socket path may hold.
inline std::filesystem::path temporaryFolderWithRoom(std::size_t room) {
  auto folder = std::filesystem::temp_directory_path();
  return folder.string().size() + room > 107 ? std::filesystem::path("/tmp") : folder;
}

class TempFolder {
 public:
  /// `prefix` names the folder ("kestrom-dialogs" gives "/tmp/kestrom-dialogs-Ab12Cd"); empty
  /// path() when it could not be made. `socketRoom`: see temporaryFolderWithRoom.
  explicit TempFolder(const std::string& prefix, std::size_t socketRoom = 0) {
    std::string pattern = (temporaryFolderWithRoom(socketRoom) / (prefix + "-XXXXXX")).string();
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

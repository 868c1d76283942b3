#pragma once
// A throw-away bundle folder for tests, and the path of the sample bundle.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kestrom::app::testing {

inline std::filesystem::path sampleBundle() {
  const char* dir = std::getenv("KESTROM_BUNDLE_DIR");
  return dir ? dir : "bundle";
}

class TempBundle {
 public:
  TempBundle() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bundle.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempBundle() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  void write(const std::string& relative, const std::string& text) const {
    auto file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }

 private:
  std::filesystem::path path_;
};

inline std::string plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

}  // namespace kestrom::app::testing

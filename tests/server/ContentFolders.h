#pragma once
// A private folder tree for the content-serving tests: web root, downloaded content, prepacked
// content, a folder the host hands out and one it does not. Removed after each test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "KestromKit/server/WebServerTypes.h"

namespace kestrom::testing {

class ContentFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "content-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    webroot = root / "web";
    content = root / "content";
    prepacked = root / "prepacked";
    handedOut = root / "handed";
    outside = root / "outside";
    for (const auto& folder : {webroot, content, prepacked, handedOut, outside})
      std::filesystem::create_directories(folder);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  static void write(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }

  /// A GET of `path` (already decoded) as the server hands it to a handler.
  WebServerRequest request(const std::string& path) const {
    WebServerRequest r;
    r.method = WebServerRequestMethod::get;
    r.path = path;
    r.urlComponents.percentEncodedPath = path;
    r.defaultLanguage = "en-US";
    r.fallbackLanguage = "en-US";
    r.prepacked = prepacked;
    r.webroot = webroot;
    r.handedOutFolders = {handedOut};
    return r;
  }

  /// The bytes a response sends, read back from its file region when it has one.
  static std::string bodyOf(const WebServerResponse& response) {
    if (!response.file()) return response.body();
    const auto& region = *response.file();
    std::string bytes(region.length, '\0');
    const auto n = ::pread(region.file->fd(), bytes.data(), bytes.size(), static_cast<off_t>(region.offset));
    EXPECT_EQ(n, static_cast<ssize_t>(bytes.size()));
    return bytes;
  }

  std::filesystem::path root, webroot, content, prepacked, handedOut, outside;
};

}  // namespace kestrom::testing

#include "KestromKit/storage/ContentHandler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "platform/log/FakeLogSink.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;

class ContentHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "content.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    prepacked_ = folder_ / "prepacked";
    fs::create_directories(prepacked_ / "en");
    put(prepacked_ / "versions.json", R"({"version": "2"})");
    put(prepacked_ / "en/manifest.json", "{}");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  static void put(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
  static std::string get(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  /// Restores the prepacked content into `content` and waits for the completion.
  static std::optional<bool> restore(const fs::path& prepacked, const fs::path& content) {
    ContentHandler handler(prepacked.parent_path(), prepacked, content);
    std::promise<bool> outcome;
    handler.restorePrepackedContent([&](bool ok) { outcome.set_value(ok); });
    auto future = outcome.get_future();
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return std::nullopt;
    return future.get();
  }

  fs::path folder_;
  fs::path prepacked_;
};

TEST_F(ContentHandlerTest, RestoringReplacesTheContentFolderWhole) {
  auto content = folder_ / "cache/content";
  fs::create_directories(content / "old");
  put(content / "versions.json", R"({"version": "1"})");
  put(content / "old/stale.txt", "stale");

  EXPECT_EQ(restore(prepacked_, content), true);
  EXPECT_EQ(get(content / "versions.json"), R"({"version": "2"})");
  EXPECT_TRUE(fs::exists(content / "en/manifest.json"));
  EXPECT_FALSE(fs::exists(content / "old"));
  EXPECT_FALSE(fs::exists(folder_ / "cache/content.incoming"));
  EXPECT_FALSE(fs::exists(folder_ / "cache/content.old"));
}

// Start-up waits for this completion before it takes the loading view down: a file system that
// fails even to say whether the folder exists (here a symbolic link that loops) must still
// complete, with false, and leave the folder as it was.
TEST_F(ContentHandlerTest, AFolderThatCannotBeLookedAtCompletesWithFailure) {
  log::ScopedRecording recording;
  auto content = folder_ / "content";
  fs::create_symlink(content, content);  // stat() fails with ELOOP

  EXPECT_EQ(restore(prepacked_, content), false);
  EXPECT_TRUE(fs::is_symlink(content));
  EXPECT_FALSE(fs::exists(folder_ / "content.incoming"));

  auto missing = folder_ / "loop/prepacked";
  fs::create_symlink(folder_ / "loop", folder_ / "loop");
  EXPECT_EQ(restore(missing, folder_ / "other"), false);
  EXPECT_FALSE(fs::exists(folder_ / "other"));
}

}  // namespace
}  // namespace kestrom

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "KestromKit/base/PathCheck.h"
#include "tests/support/TempFolder.h"

namespace kestrom {
namespace {
namespace fs = std::filesystem;

class PathCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.empty());
    fs::create_directories(root / "in/sub");
    fs::create_directories(root / "out");
    std::ofstream(root / "in/sub/file.txt") << "x";
    std::ofstream(root / "out/secret.txt") << "s";
  }
  test::TempFolder temp_{"kestrom-pathcheck"};
  const fs::path& root = temp_.path();
};

TEST_F(PathCheckTest, RefusesEverySegmentThatCouldLeaveTheRoot) {
  const std::pair<const char*, PathCheckError> cases[] = {
      {"", PathCheckError::empty},
      {"/", PathCheckError::empty},
      {"/..", PathCheckError::dotSegment},
      {"a/../b", PathCheckError::dotSegment},
      {"./a", PathCheckError::dotSegment},
      {"a//b", PathCheckError::emptySegment},
      {"a/", PathCheckError::emptySegment},
      {"//etc/passwd", PathCheckError::emptySegment},
  };
  for (const auto& [text, error] : cases) {
    SCOPED_TRACE(text);
    auto checked = checkRelativePath(text);
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error(), error);
  }
  EXPECT_EQ(checkRelativePath(std::string_view("a\0b", 3)).error(), PathCheckError::nul);
  EXPECT_EQ(checkRelativePath("/a", {.allowLeadingSlash = false}).error(), PathCheckError::absolute);
  EXPECT_EQ(checkRelativePath("/a/b.txt").value(), fs::path("a/b.txt"));
}

TEST_F(PathCheckTest, DecodesOnceWhenAskedAndThenChecks) {
  PathCheckOptions encoded{.percentEncoded = true};
  EXPECT_EQ(checkRelativePath("/%2e%2e/etc", encoded).error(), PathCheckError::dotSegment);
  EXPECT_EQ(checkRelativePath("/a%2fb/..", encoded).error(), PathCheckError::dotSegment);
  EXPECT_EQ(checkRelativePath("/a%00", encoded).error(), PathCheckError::nul);
  EXPECT_EQ(checkRelativePath("/a%2", encoded).error(), PathCheckError::badEncoding);
  EXPECT_EQ(checkRelativePath("/a%zz", encoded).error(), PathCheckError::badEncoding);
  EXPECT_EQ(checkRelativePath("/%252e%252e", encoded).value(), fs::path("%2e%2e"));  // once only
  EXPECT_EQ(percentDecode("a+b%20c").value(), "a+b c");
}

TEST_F(PathCheckTest, ResolvesUnderTheRootAndFollowsLinksOnlyInside) {
  EXPECT_EQ(resolveUnder(root / "in", "/sub/file.txt").value(), fs::canonical(root / "in/sub/file.txt"));
  EXPECT_TRUE(resolveUnder(root / "in", "/sub/new.txt"));  // need not exist
  fs::create_symlink(root / "out", root / "in/link");
  EXPECT_EQ(resolveUnder(root / "in", "/link/secret.txt").error(), PathCheckError::outsideRoot);
  fs::create_symlink(root / "in/sub", root / "in/inner");
  EXPECT_TRUE(resolveUnder(root / "in", "/inner/file.txt"));
  EXPECT_EQ(resolveUnder(fs::path(), "/a").error(), PathCheckError::outsideRoot);
}

TEST_F(PathCheckTest, RegularFilesOnlyWhenAsked) {
  PathCheckOptions files{.regularFileOnly = true};
  EXPECT_TRUE(resolveUnder(root / "in", "sub/file.txt", files));
  EXPECT_EQ(resolveUnder(root / "in", "sub", files).error(), PathCheckError::notRegularFile);
  EXPECT_EQ(resolveUnder(root / "in", "sub/missing", files).error(), PathCheckError::notRegularFile);
}

TEST_F(PathCheckTest, AbsolutePathsOnlyInsideHandedOutFolders) {
  std::vector<fs::path> folders{root / "in"};
  std::string inside = (root / "in/sub/file.txt").string();
  EXPECT_EQ(checkHandedOutPath(inside, folders).value(), fs::canonical(inside));
  const std::string refused[] = {
      (root / "out/secret.txt").string(),
      (root / "in/../out/secret.txt").string(),
      (root / "in/sub").string(),  // a folder
      "/etc/passwd",
      "/dev/zero",
      "relative/path",
      "",
  };
  for (const auto& path : refused) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(checkHandedOutPath(path, folders));
  }
  fs::create_symlink(root / "out/secret.txt", root / "in/escape.txt");
  EXPECT_FALSE(checkHandedOutPath((root / "in/escape.txt").string(), folders));
  EXPECT_FALSE(checkHandedOutPath((root / "in").string() + "x/file", folders));  // a sibling with the same prefix
}

TEST_F(PathCheckTest, OnePathComponent) {
  EXPECT_EQ(checkPathComponent("project.kpr").value(), "project.kpr");
  EXPECT_EQ(checkPathComponent("..").error(), PathCheckError::dotSegment);
  EXPECT_EQ(checkPathComponent(".").error(), PathCheckError::dotSegment);
  EXPECT_EQ(checkPathComponent("a/b").error(), PathCheckError::emptySegment);
  EXPECT_EQ(checkPathComponent("").error(), PathCheckError::empty);
  EXPECT_EQ(checkPathComponent(std::string_view("a\0", 2)).error(), PathCheckError::nul);
}

}  // namespace
}  // namespace kestrom

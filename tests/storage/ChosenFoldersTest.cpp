#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>

#include "KestromKit/storage/ChosenFolders.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;

TEST(ChosenFoldersTest, AllowsOnlyHandedOutFoldersAndTheOneInUse) {
  std::string pattern = (fs::temp_directory_path() / "chosen.XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path root = pattern;
  fs::create_directories(root / "picked");
  fs::create_directories(root / "current" / "Projects");
  fs::create_symlink(root / "picked", root / "link");

  ChosenFolders folders;
  const fs::path inUse = root / "current" / "Projects";
  EXPECT_FALSE(folders.allows(root / "picked", inUse));
  folders.add(root / "picked");
  EXPECT_TRUE(folders.allows(root / "picked", inUse));
  EXPECT_TRUE(folders.allows(root / "picked" / "", inUse));
  EXPECT_TRUE(folders.allows(root / "link", inUse));  // the same folder by another name
  EXPECT_TRUE(folders.allows(root / "x" / ".." / "picked", {}));
  EXPECT_TRUE(folders.allows(inUse, inUse));
  EXPECT_TRUE(folders.allows(root / "current", inUse));  // the folder that holds the one in use
  EXPECT_FALSE(folders.allows(root, inUse));
  EXPECT_FALSE(folders.allows(root / "picked" / "inner", inUse));
  EXPECT_FALSE(folders.allows({}, inUse));

  std::error_code ignored;
  fs::remove_all(root, ignored);
}

}  // namespace
}  // namespace kestrom

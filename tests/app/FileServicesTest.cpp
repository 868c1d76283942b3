#include "app/FileServices.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/bundle/Bundle.h"
#include "tests/app/TestBundle.h"

namespace kestrom::app {
namespace {

namespace fs = std::filesystem;
using testing::TempBundle;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(MoveReplacingTest, MovesAndReplacesAnExistingFile) {
  TempBundle folder;
  folder.write("tmp/upload.kpr", "new project");
  folder.write("chosen/project.kpr", "old project");
  ASSERT_TRUE(moveReplacing(folder.path() / "tmp/upload.kpr", folder.path() / "chosen/project.kpr"));
  EXPECT_EQ(readFile(folder.path() / "chosen/project.kpr"), "new project");
  EXPECT_FALSE(fs::exists(folder.path() / "tmp/upload.kpr"));

  folder.write("tmp/second.kpr", "second");
  ASSERT_TRUE(moveReplacing(folder.path() / "tmp/second.kpr", folder.path() / "chosen/fresh.kpr"));
  EXPECT_EQ(readFile(folder.path() / "chosen/fresh.kpr"), "second");
}

TEST(MoveReplacingTest, AFailedMoveKeepsTheEarlierFile) {
  TempBundle folder;
  folder.write("chosen/project.kpr", "old project");
  // Missing source.
  auto missing = moveReplacing(folder.path() / "tmp/none.kpr", folder.path() / "chosen/project.kpr");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), SaveError::moveError);
  EXPECT_EQ(readFile(folder.path() / "chosen/project.kpr"), "old project");
  // Destination folder that does not exist.
  folder.write("tmp/upload.kpr", "new");
  EXPECT_FALSE(moveReplacing(folder.path() / "tmp/upload.kpr", folder.path() / "nowhere/project.kpr"));
  EXPECT_EQ(readFile(folder.path() / "tmp/upload.kpr"), "new");
  // A folder in the way.
  fs::create_directories(folder.path() / "chosen/folder.kpr/inside");
  EXPECT_FALSE(moveReplacing(folder.path() / "tmp/upload.kpr", folder.path() / "chosen/folder.kpr"));
  EXPECT_TRUE(fs::exists(folder.path() / "chosen/folder.kpr/inside"));
}

TEST(MoveReplacingTest, CrossesFileSystemsByCopyingBesideTheDestination) {
  // /dev/shm is a different file system from /tmp on most machines; skip when it is not.
  TempBundle folder;
  fs::path shm = "/dev/shm";
  if (!fs::is_directory(shm)) GTEST_SKIP() << "no /dev/shm";
  fs::path source = shm / ("kestrom-move-" + std::to_string(::getpid()) + ".kpr");
  { std::ofstream(source) << "across"; }
  folder.write("chosen/project.kpr", "old");
  auto moved = moveReplacing(source, folder.path() / "chosen/project.kpr");
  std::error_code ec;
  fs::remove(source, ec);
  ASSERT_TRUE(moved);
  EXPECT_EQ(readFile(folder.path() / "chosen/project.kpr"), "across");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path() / "chosen"), fs::directory_iterator()), 1);
}

TEST(ReadUtf8TextTest, ReadsTextAndRefusesOtherBytes) {
  TempBundle folder;
  folder.write("good.py", "print('grüß')\n");
  folder.write("bad.py", std::string("\xFF\xFE bytes"));
  EXPECT_EQ(readUtf8Text(folder.path() / "good.py"), std::string("print('grüß')\n"));
  auto bad = readUtf8Text(folder.path() / "bad.py");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), LoadError::readError);
  EXPECT_FALSE(readUtf8Text(folder.path() / "missing.py"));
}

TEST(ExportedFileExtensionsTest, CollectsTheDeclaredExtensionsInOrder) {
  auto info = nlohmann::ordered_json::parse(R"({
    "UTExportedTypeDeclarations": [
      {"UTTypeTagSpecification": {"public.filename-extension": ["kpr", "kpr2"]}},
      {"UTTypeIdentifier": "no.specification"},
      {"UTTypeTagSpecification": {"public.mime-type": "x/y"}},
      {"UTTypeTagSpecification": {"public.filename-extension": "single"}}
    ]})");
  EXPECT_EQ(exportedFileExtensions(info), (std::vector<std::string>{"kpr", "kpr2", "single"}));
  EXPECT_TRUE(exportedFileExtensions(nlohmann::ordered_json::object()).empty());
  EXPECT_TRUE(exportedFileExtensions(nlohmann::ordered_json::parse(R"({"UTExportedTypeDeclarations": 3})")).empty());

  bundle::Bundle sample(testing::sampleBundle());
  EXPECT_EQ(exportedFileExtensions(sample.infoDictionary()), (std::vector<std::string>{"kpr"}));
}

TEST(PathExtensionTest, IsTheLastExtensionWithoutItsDot) {
  EXPECT_EQ(pathExtension("/a/b/project.kpr"), "kpr");
  EXPECT_EQ(pathExtension("/a/b/archive.tar.gz"), "gz");
  EXPECT_EQ(pathExtension("/a/b/README"), "");
}

}  // namespace
}  // namespace kestrom::app

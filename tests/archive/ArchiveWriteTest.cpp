// Writing archives and replacing one entry: the result is an ordinary ZIP file for libzip and for
// unzip, other entries travel unchanged, and a write that fails anywhere leaves the old file
// exactly as it was with nothing left beside it.

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <gtest/gtest.h>


#include <string>
#include <vector>

#include "platform/archive/Archive.h"
#include "tests/archive/ArchiveTestSupport.h"

namespace kestrom::archive {
namespace {

using test::TempFolder;

constexpr std::uint64_t kLimit = 1 << 20;

/// A project file as the page would save it: deflated entries around the manifest.
struct PageArchive {
  PageArchive() {
    test::writeDeflatedArchive(file, {{"manifest.json", R"({"id":"old","name":"Robot","type":"x"})"},
                                      {"icon.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>"},
                                      {"scenes/one.json", std::string(50000, 'a') + "tail"},
                                      {"empty", ""}});
    original = test::readFile(file);
  }
  TempFolder folder;
  std::filesystem::path file = folder / "Robot.kproj";
  std::string original;
};

const std::vector<std::string> kOtherEntries = {"icon.svg", "scenes/one.json", "empty"};

TEST(ArchiveWriteTest, WritesAnArchiveOthersCanRead) {
  TempFolder folder;
  const auto file = folder / "new.kproj";
  const std::string manifest = R"({"id":"n1","name":"Nouveau"})";
  const std::string binary("\x00\x01\xff\x89PNG", 7);
  const std::vector<NewEntry> entries = {{"manifest.json", manifest}, {"assets/pic.png", binary}, {"empty", ""}};

  auto written = writeArchive(file, entries);
  ASSERT_TRUE(written) << written.error().message;
  EXPECT_TRUE(test::unzipTestPasses(file));
  for (const auto& entry : entries) {
    SCOPED_TRACE(entry.name);
    auto stored = test::storedEntry(file, entry.name);
    EXPECT_EQ(stored.method, ZIP_CM_STORE);
    EXPECT_EQ(stored.content, entry.bytes);
    EXPECT_EQ(readEntry(file, entry.name, kLimit).value(), entry.bytes);
  }
  EXPECT_EQ(test::permissions(file), 0666 & ~[] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
  }());
  EXPECT_EQ(folder.names(), std::vector<std::string>{"new.kproj"});

  // Writing again replaces the whole file and keeps the mode it was given since.
  ::chmod(file.c_str(), 0640);
  const std::vector<NewEntry> again = {{"only.txt", "1"}};
  ASSERT_TRUE(writeArchive(file, again));
  EXPECT_EQ(test::permissions(file), 0640u);
  auto listed = listEntries(file).value();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, "only.txt");
  EXPECT_EQ(folder.names(), std::vector<std::string>{"new.kproj"});
}

TEST(ArchiveWriteTest, RefusesUnusableEntriesAndKeepsTheTarget) {
  TempFolder folder;
  const auto file = folder / "keep.kproj";
  test::writeFile(file, "previous content");
  const std::vector<NewEntry> duplicate = {{"a", "1"}, {"b", "2"}, {"a", "3"}};
  const std::vector<NewEntry> unnamed = {{"", "1"}};
  const std::vector<NewEntry> none;
  for (const auto* entries : {&duplicate, &unnamed, &none}) {
    auto written = writeArchive(file, *entries);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, ArchiveErrorCode::invalidEntry) << written.error().message;
    EXPECT_EQ(test::readFile(file), "previous content");
    EXPECT_EQ(folder.names(), std::vector<std::string>{"keep.kproj"});
  }
}

TEST(ArchiveWriteTest, ReplacesTheManifestAndCarriesEverythingElseOver) {
  PageArchive project;
  ::chmod(project.file.c_str(), 0604);
  std::vector<test::StoredEntry> before;
  for (const auto& name : kOtherEntries) before.push_back(test::storedEntry(project.file, name));

  const std::string manifest = R"({"id":"new","name":"Robot","type":"x"})";
  auto replaced = replaceEntry(project.file, "manifest.json", manifest, IfMissing::fail);
  ASSERT_TRUE(replaced) << replaced.error().message;

  EXPECT_TRUE(test::unzipTestPasses(project.file));
  EXPECT_EQ(readEntry(project.file, "manifest.json", kLimit).value(), manifest);
  EXPECT_EQ(test::storedEntry(project.file, "manifest.json").method, ZIP_CM_STORE);
  for (std::size_t i = 0; i < kOtherEntries.size(); ++i) {
    SCOPED_TRACE(kOtherEntries[i]);
    const auto after = test::storedEntry(project.file, kOtherEntries[i]);
    EXPECT_EQ(after.rawData, before[i].rawData);  // the stored bytes, not only the content
    EXPECT_EQ(after.method, before[i].method);
    EXPECT_EQ(after.content, before[i].content);
  }
  auto listed = listEntries(project.file).value();
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0].name, "manifest.json");
  EXPECT_EQ(test::permissions(project.file), 0604u);
  EXPECT_EQ(project.folder.names(), std::vector<std::string>{"Robot.kproj"});
}

TEST(ArchiveWriteTest, ReplacesThroughASymbolicLinkIntoTheRealFile) {
  PageArchive project;
  const auto link = project.folder / "link.kproj";
  std::filesystem::create_symlink(project.file, link);
  ASSERT_TRUE(replaceEntry(link, "manifest.json", "{}", IfMissing::fail));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(readEntry(project.file, "manifest.json", kLimit).value(), "{}");
  EXPECT_EQ(project.folder.names(), (std::vector<std::string>{"Robot.kproj", "link.kproj"}));
}

TEST(ArchiveWriteTest, AddsAMissingEntryOnlyWhenAsked) {
  PageArchive project;
  auto refused = replaceEntry(project.file, "notes.txt", "hello", IfMissing::fail);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, ArchiveErrorCode::noSuchEntry);
  EXPECT_EQ(test::readFile(project.file), project.original);

  ASSERT_TRUE(replaceEntry(project.file, "notes.txt", "hello", IfMissing::add));
  EXPECT_TRUE(test::unzipTestPasses(project.file));
  EXPECT_EQ(readEntry(project.file, "notes.txt", kLimit).value(), "hello");
  EXPECT_EQ(listEntries(project.file).value().size(), 5u);
  EXPECT_EQ(project.folder.names(), std::vector<std::string>{"Robot.kproj"});
}

TEST(ArchiveWriteTest, LeavesFilesThatAreNotArchivesAlone) {
  TempFolder folder;
  test::writeFile(folder / "text.kproj", "not an archive");
  auto replaced = replaceEntry(folder / "text.kproj", "manifest.json", "{}", IfMissing::add);
  ASSERT_FALSE(replaced);
  EXPECT_EQ(replaced.error().code, ArchiveErrorCode::notAZip);
  EXPECT_EQ(test::readFile(folder / "text.kproj"), "not an archive");

  auto missing = replaceEntry(folder / "absent.kproj", "manifest.json", "{}", IfMissing::add);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ArchiveErrorCode::missingFile);
  EXPECT_EQ(folder.names(), std::vector<std::string>{"text.kproj"});
}

// Fails each file-system step of the rewrite in turn, until the rewrite gets through. Up to the
// rename the old archive must stay byte-identical with no temporary file beside it; after the
// rename (the folder flush) the new archive is whole and the failure is still reported.
TEST(ArchiveWriteTest, AFailureAtAnyStepLeavesTheOldArchiveWhole) {
  PageArchive project;
  const std::string manifest = R"({"id":"new","name":"Robot"})";
  int succeededAfter = 0;
  std::vector<int> failedAfterRename;
  for (int step = 1; step <= 1000 && succeededAfter == 0; ++step) {
    SCOPED_TRACE("failing step " + std::to_string(step));
    testing::failNthStep(step);
    auto replaced = replaceEntry(project.file, "manifest.json", manifest, IfMissing::fail);
    EXPECT_EQ(project.folder.names(), std::vector<std::string>{"Robot.kproj"});
    if (replaced) {
      succeededAfter = step;
      break;
    }
    EXPECT_EQ(replaced.error().code, ArchiveErrorCode::io);
    EXPECT_NE(replaced.error().message.find("Input/output error"), std::string::npos) << replaced.error().message;
    if (test::readFile(project.file) == project.original) continue;
    failedAfterRename.push_back(step);
    EXPECT_TRUE(test::unzipTestPasses(project.file));
    EXPECT_EQ(readEntry(project.file, "manifest.json", kLimit).value(), manifest);
    test::writeFile(project.file, project.original);
  }
  ASSERT_GT(succeededAfter, 5);  // temporary file, permissions, writes, flush, close, rename...
  const int steps = testing::lastStepCount();
  EXPECT_EQ(failedAfterRename, (std::vector<int>{steps - 1, steps}));  // open and flush the folder
  EXPECT_EQ(readEntry(project.file, "manifest.json", kLimit).value(), manifest);
}

TEST(ArchiveWriteTest, ADamagedEntryStopsTheRewriteMidwayAndKeepsTheOldArchive) {
  PageArchive project;
  // Claim that an entry the rewrite copies after the first two runs far past the end of the file:
  // libzip has already written part of the new archive when the copy runs dry.
  test::patchCentralField(project.file, "scenes/one.json", 20, 0x7FFFFFF0u);
  const std::string bytes = test::readFile(project.file);

  auto replaced = replaceEntry(project.file, "manifest.json", "{}", IfMissing::fail);
  ASSERT_FALSE(replaced);
  EXPECT_GT(testing::lastStepCount(), 3) << "the temporary file was made and written to";
  EXPECT_NE(replaced.error().message.find(project.file.string()), std::string::npos);
  EXPECT_EQ(test::readFile(project.file), bytes);
  EXPECT_EQ(project.folder.names(), std::vector<std::string>{"Robot.kproj"});
}

TEST(ArchiveWriteTest, AReadOnlyFolderKeepsTheOldArchive) {
  PageArchive project;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(project.folder.path().c_str(), 65534, 65534), 0);
  }
  ::chmod(project.folder.path().c_str(), 0555);
  EXPECT_TRUE(test::passesWithoutRoot([&] {
    auto replaced = replaceEntry(project.file, "manifest.json", "{}", IfMissing::fail);
    return !replaced && replaced.error().code == ArchiveErrorCode::io;
  }));
  ::chmod(project.folder.path().c_str(), 0755);
  EXPECT_EQ(test::readFile(project.file), project.original);
  EXPECT_EQ(project.folder.names(), std::vector<std::string>{"Robot.kproj"});
}

}  // namespace
}  // namespace kestrom::archive

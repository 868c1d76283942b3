// Reading entries of real ZIP files: what is found, what is missing, and what is refused.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/archive/Archive.h"
#include "tests/archive/ArchiveTestSupport.h"

namespace kestrom::archive {
namespace {

using test::TempFolder;

constexpr std::uint64_t kLimit = 1 << 20;

TEST(ArchiveReadTest, ReadsEntriesWrittenByAnotherProgram) {
  TempFolder folder;
  const auto file = folder / "Robot.kproj";
  const std::string manifest = R"({"id":"abc","name":"Robot"})";
  const std::string big(200000, 'x');  // deflates to a few hundred bytes
  test::writeDeflatedArchive(file, {{"manifest.json", manifest}, {"empty.txt", ""}, {"data/big.bin", big}});

  EXPECT_EQ(readEntry(file, "manifest.json", kLimit).value(), manifest);
  auto empty = readEntry(file, "empty.txt", kLimit);
  ASSERT_TRUE(empty) << empty.error().message;
  EXPECT_EQ(*empty, "");  // empty, not missing
  EXPECT_EQ(readEntry(file, "data/big.bin", big.size()).value(), big);  // exactly at the limit

  auto listed = listEntries(file).value();
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].name, "manifest.json");
  EXPECT_EQ(listed[0].size, manifest.size());
  EXPECT_EQ(listed[2].name, "data/big.bin");
  EXPECT_EQ(listed[2].size, big.size());

  // Names compare exactly.
  for (const char* absent : {"Manifest.json", "manifest", "data", "", "/manifest.json"}) {
    SCOPED_TRACE(absent);
    auto read = readEntry(file, absent, kLimit);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().code, ArchiveErrorCode::noSuchEntry);
    EXPECT_NE(read.error().message.find(file.string()), std::string::npos);
  }
}

TEST(ArchiveReadTest, TellsAMissingFileFromOneThatIsNotAZip) {
  TempFolder folder;
  test::writeFile(folder / "text.kproj", "this is not an archive, just a line of text\n");
  test::writeFile(folder / "empty.kproj", "");
  test::writeFile(folder / "truncated.kproj", std::string("PK\x03\x04", 4) + std::string(100, '\0'));
  std::filesystem::create_directory(folder / "folder.kproj");

  struct Case {
    const char* name;
    ArchiveErrorCode expected;
  };
  for (const auto& [name, expected] : {Case{"text.kproj", ArchiveErrorCode::notAZip},
                                       Case{"empty.kproj", ArchiveErrorCode::notAZip},
                                       Case{"truncated.kproj", ArchiveErrorCode::notAZip},
                                       Case{"folder.kproj", ArchiveErrorCode::notAZip},
                                       Case{"absent.kproj", ArchiveErrorCode::missingFile},
                                       Case{"absent/inner.kproj", ArchiveErrorCode::missingFile}}) {
    SCOPED_TRACE(name);
    auto read = readEntry(folder / name, "manifest.json", kLimit);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().code, expected) << read.error().message;
    EXPECT_FALSE(read.error().message.empty());
    auto listed = listEntries(folder / name);
    ASSERT_FALSE(listed);
    EXPECT_EQ(listed.error().code, expected);
  }
}

TEST(ArchiveReadTest, TellsAnUnreadableFileFromAMissingOne) {
  TempFolder folder;  // only its owner may enter it
  const auto file = folder / "private.kproj";
  test::writeDeflatedArchive(file, {{"manifest.json", "{}"}});
  ::chmod(file.c_str(), 0);
  EXPECT_TRUE(test::passesWithoutRoot([&] {
    auto read = readEntry(file, "manifest.json", kLimit);
    auto replaced = replaceEntry(file, "manifest.json", "[]", IfMissing::fail);
    return !read && read.error().code == ArchiveErrorCode::unreadableFile && !replaced &&
           replaced.error().code == ArchiveErrorCode::unreadableFile;
  }));
}

TEST(ArchiveReadTest, RefusesEntriesBeyondTheLimitWithoutHoldingThem) {
  TempFolder folder;
  const auto file = folder / "bomb.kproj";
  const std::string zeros(4 << 20, '\0');  // 4 MiB that deflate to a few kilobytes
  test::writeDeflatedArchive(file, {{"manifest.json", "{}"}, {"zeros.bin", zeros}});

  auto honest = readEntry(file, "zeros.bin", 64 * 1024);
  ASSERT_FALSE(honest);
  EXPECT_EQ(honest.error().code, ArchiveErrorCode::entryTooLarge);

  // A directory that claims almost 4 GiB is refused on the claim alone.
  test::patchCentralField(file, "zeros.bin", 24, 0xFFFFFFF0u);
  auto huge = readEntry(file, "zeros.bin", kLimit);
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().code, ArchiveErrorCode::entryTooLarge) << huge.error().message;

  // One that understates the size is cut off at the limit once the data runs past it.
  test::patchCentralField(file, "zeros.bin", 24, 10);
  auto understated = readEntry(file, "zeros.bin", kLimit);
  ASSERT_FALSE(understated);
  EXPECT_EQ(understated.error().code, ArchiveErrorCode::entryTooLarge) << understated.error().message;

  EXPECT_EQ(readEntry(file, "manifest.json", kLimit).value(), "{}");
}

TEST(ArchiveReadTest, ReportsADamagedEntry) {
  TempFolder folder;
  const auto file = folder / "damaged.kproj";
  test::writeDeflatedArchive(file, {{"manifest.json", R"({"id":"a","name":"b"})"}, {"icon.svg", "<svg/>"}});
  test::patchCentralField(file, "manifest.json", 16, 0x12345678);  // wrong checksum

  auto read = readEntry(file, "manifest.json", kLimit);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().code, ArchiveErrorCode::damagedEntry) << read.error().message;
  EXPECT_EQ(readEntry(file, "icon.svg", kLimit).value(), "<svg/>");
}

}  // namespace
}  // namespace kestrom::archive

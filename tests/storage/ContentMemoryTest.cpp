// What one request may cost in memory: a project icon that inflates far beyond its file, and a
// downloaded content manifest of any size. The peak resident size of this process is measured
// around the call (the kernel's high-water mark, reset first), with generous bounds. Also what
// many requests for a large project entry hold in the temporary folder together.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>
#include <zip.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestromKit/storage/ContentHandler.h"
#include "KestromKit/storage/ProjectInfoStore.h"
#include "KestromKit/storage/ProjectLibrary.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;

/// Resets the peak resident size to the current one; false where the kernel does not allow it.
bool resetPeakMemory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

/// The peak resident size since the last reset, in KiB.
long peakMemoryKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

/// A file of `size` zero bytes that takes no room (sparse) and no memory to make.
void makeZeros(const fs::path& path, off_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
}

/// A project archive `id` with entry `entry` of `size` zeros, deflated (about a thousandfold).
void makeProjectWithZeros(const fs::path& project, const std::string& id, const char* entry, off_t size) {
  const auto zeros = project.parent_path() / "zeros";
  makeZeros(zeros, size);
  int failure = 0;
  zip_t* archive = zip_open(project.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &failure);
  ASSERT_NE(archive, nullptr);
  const std::string manifest = R"({"id":")" + id + R"(","name":")" + id + R"("})";
  ASSERT_GE(zip_file_add(archive, "manifest.json", zip_source_buffer(archive, manifest.data(), manifest.size(), 0), 0), 0);
  const auto added = zip_file_add(archive, entry, zip_source_file(archive, zeros.c_str(), 0, -1), 0);
  ASSERT_GE(added, 0);
  ASSERT_EQ(zip_set_file_compression(archive, static_cast<zip_uint64_t>(added), ZIP_CM_DEFLATE, 1), 0);
  ASSERT_EQ(zip_close(archive), 0);
  fs::remove(zeros);
}

/// Package "pkg" below `content`, whose manifest holds small units (the costliest shape to decode
/// for its size) up to about `bytes` of text; how many.
std::size_t writeManifestOfSmallUnits(const fs::path& content, std::size_t bytes) {
  nlohmann::json units = nlohmann::json::array();
  for (std::size_t i = 0, size = 0; size < bytes; ++i) {
    units.push_back({{"id", "u" + std::to_string(i)}, {"title", std::string(60, 't')}, {"description", ""}});
    size += units.back().dump().size() + 1;
  }
  fs::create_directories(content / "pkg");
  std::ofstream(content / "pkg/manifest.json") << nlohmann::json{{"id", "pkg"}, {"units", units}}.dump();
  return units.size();
}

/// Runs `request` (given its number) on `count` threads that start together.
void runAtOnce(int count, const std::function<void(int)>& request) {
  std::latch start(count);
  std::vector<std::thread> requests;
  for (int i = 0; i < count; ++i)
    requests.emplace_back([&, i] {
      start.arrive_and_wait();
      request(i);
    });
  for (auto& thread : requests) thread.join();
}

class ContentMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "content-memory.XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    root = pattern;
    if (!resetPeakMemory() || peakMemoryKiB() < 0) GTEST_SKIP() << "the peak resident size cannot be reset here";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  fs::path root;
};

TEST_F(ContentMemoryTest, AnIconThatInflatesToHundredsOfMiBReadsAsThePlaceholderWithinAFewMiB) {
  // A small project whose "icon.svg" inflates to 256 MiB (zeros deflate about a thousandfold).
  const auto project = root / "Bomb.kpr";
  ASSERT_NO_FATAL_FAILURE(makeProjectWithZeros(project, "bomb", "icon.svg", off_t{256} << 20));
  ASSERT_LT(fs::file_size(project), std::uintmax_t{2} << 20);

  auto store = std::make_shared<ProjectInfoStore>(root / "availableProjects.json");
  ProjectLibrary library("Projects", "kpr", store, false, nullptr, nullptr);
  ASSERT_TRUE(resetPeakMemory());
  const long before = peakMemoryKiB();
  auto read = library.readProjectZipEntry(project, "icon.svg");
  const long growth = peakMemoryKiB() - before;
  ASSERT_TRUE(read);
  EXPECT_NE(read->find("<svg"), std::string::npos) << "the placeholder";
  EXPECT_LT(read->size(), 1024u);
  EXPECT_LT(growth, 32 * 1024) << "KiB of peak memory for one icon";
}

TEST_F(ContentMemoryTest, AProjectEntryOfTensOfMiBIsAnsweredThroughABoundedBuffer) {
  const auto project = root / "Large.kpr";
  ASSERT_NO_FATAL_FAILURE(makeProjectWithZeros(project, "large", "data.bin", off_t{64} << 20));

  auto store = std::make_shared<ProjectInfoStore>(root / "availableProjects.json");
  ASSERT_TRUE(store->setReference(ProjectReference{"large", project.string(), "Large", {}, {}}, "large"));
  ProjectLibrary library("Projects", "kpr", store, false, nullptr, nullptr);
  fs::create_directories(root / "spool");
  ASSERT_TRUE(resetPeakMemory());
  const long before = peakMemoryKiB();
  auto answer = library.loadProjectEntry("large", "data.bin", root / "spool");
  const long growth = peakMemoryKiB() - before;
  ASSERT_TRUE(answer);
  ASSERT_TRUE(answer->file);
  EXPECT_EQ(answer->file->size(), std::uint64_t{64} << 20);
  EXPECT_LT(growth, 8 * 1024) << "KiB of peak memory for a 64 MiB entry";
}

TEST_F(ContentMemoryTest, ReadsOfALargeEntryAtOnceShareOneSpoolBudget) {
  // Two spools of this entry pass the budget; each of eight requests holds its answer until all
  // eight have one, as connections still sending theirs do.
  const auto project = root / "Large.kpr";
  const off_t size = off_t{130} << 20;
  ASSERT_NO_FATAL_FAILURE(makeProjectWithZeros(project, "large", "data.bin", size));
  auto store = std::make_shared<ProjectInfoStore>(root / "availableProjects.json");
  ASSERT_TRUE(store->setReference(ProjectReference{"large", project.string(), "Large", {}, {}}, "large"));
  ProjectLibrary library("Projects", "kpr", store, false, nullptr, nullptr);
  fs::create_directories(root / "spool");

  constexpr int kRequests = 8;
  std::vector<ProjectsResult<EntryBody>> answers(kRequests);
  std::latch done(kRequests);
  runAtOnce(kRequests, [&](int i) {
    answers[i] = library.loadProjectEntry("large", "data.bin", root / "spool");
    done.arrive_and_wait();
  });
  std::uint64_t spooled = 0;
  for (const auto& answer : answers) {
    if (!answer) {
      EXPECT_EQ(answer.error().kind, ProjectsHandlerError::Kind::spoolFull);
      continue;
    }
    ASSERT_TRUE(answer->file);
    struct stat info {};
    ASSERT_EQ(::fstat(answer->file->fd(), &info), 0);
    spooled += static_cast<std::uint64_t>(info.st_size);
  }
  EXPECT_EQ(spooled, static_cast<std::uint64_t>(size)) << "one answer spooled at a time";
  answers.clear();  // sent: the budget is free again
  auto again = library.loadProjectEntry("large", "data.bin", root / "spool");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->file->size(), static_cast<std::uint64_t>(size));
}

TEST_F(ContentMemoryTest, AContentManifestOverTheCapIsRefusedBeforeItIsRead) {
  fs::create_directories(root / "content/en-US");
  const auto file = root / "content/en-US/manifest.json";
  makeZeros(file, off_t{256} << 20);
  ContentHandler handler(root / "variant", root / "prepacked", nullptr, root / "content");
  ASSERT_TRUE(resetPeakMemory());
  const long before = peakMemoryKiB();
  EXPECT_FALSE(handler.readManifest("en-US"));
  EXPECT_LT(peakMemoryKiB() - before, 8 * 1024) << "KiB of peak memory for a refused manifest";

  // Just under the bound it is read (and found not to decode).
  fs::resize_file(file, ContentHandler::kMaxManifestBytes);
  EXPECT_FALSE(handler.readManifest("en-US"));
  std::ofstream(file, std::ios::trunc) << R"({"id":"en-US","units":[]})";
  EXPECT_TRUE(handler.readManifest("en-US"));
}

TEST_F(ContentMemoryTest, TwentyManifestsNearTheCapRequestedAtOnceAreDecodedOneAtATime) {
#if defined(KESTROM_SANITIZE_ADDRESS) || defined(KESTROM_SANITIZE_THREAD)
  // The sanitizers' allocators hold freed memory back (a quarantine, shadow pages), so what one
  // decode leaves behind is never reused by the next: the bound is the plain build's.
  GTEST_SKIP() << "memory bounds hold for the plain build";
#endif
  // Small units are the costliest shape to decode for their size: several times the text each.
  (void)writeManifestOfSmallUnits(root / "content", ContentHandler::kMaxManifestBytes - (64u << 10));
  ContentHandler handler(root / "variant", root / "prepacked", nullptr, root / "content");
  const auto whole = handler.manifestJSON("pkg");  // the decoding thread and its arena are warm
  ASSERT_TRUE(whole);

  constexpr int kRequests = 20;
  std::vector<std::size_t> sizes(kRequests);
  ASSERT_TRUE(resetPeakMemory());
  const long before = peakMemoryKiB();
  runAtOnce(kRequests, [&](int i) {
    // Each connection holds its answer until it is sent, and sends it at once.
    if (auto answer = handler.manifestJSON("pkg")) sizes[i] = answer->size();
  });
  const long growth = peakMemoryKiB() - before;
  for (const auto size : sizes) EXPECT_EQ(size, whole->size());
  // Each request decoding on its own would take several hundred MiB.
  EXPECT_LT(growth, 64 * 1024) << "KiB of peak memory for twenty manifests near the cap";
}

}  // namespace
}  // namespace kestrom

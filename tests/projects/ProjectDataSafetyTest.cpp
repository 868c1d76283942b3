// What must never be lost: a project, its index entry, the page's answers. Index writes fail for
// real here (a file-size limit the kernel enforces, as a full disk would), pipes stand where
// projects should be, and read-only copies are opened as a normal user.

#include <sys/stat.h>
#include <unistd.h>

#include <future>

#include <gtest/gtest.h>

#include "KestromKit/base/Constants.h"
#include "tests/projects/ProjectTestSupport.h"
#include "tests/support/Eventually.h"
#include "tests/support/FinishesWithin.h"

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;
using Kind = ProjectsHandlerError::Kind;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr rlim_t kLimit = 16 * 1024;  // above any project of these tests, below the padded index

/// Pads the index with entries of projects that are not there, so that rewriting it takes more
/// than `kLimit` bytes while a project file stays well below.
void padIndex(HandlerFixture& f) {
  for (int i = 0; i < 80; ++i) {
    const std::string id = "pad" + std::to_string(i);
    ASSERT_TRUE(f.store->setReference(
        ProjectReference{id, (f.root / "gone" / (id + ".kpr")).string(), std::string(200, 'p'), {}, {}}, id));
  }
  ASSERT_GT(fs::file_size(f.indexFile), kLimit);
}

/// The index in memory, as the file would hold it.
json memoryIndex(HandlerFixture& f) {
  json object = json::object();
  for (const auto& reference : f.store->queue()->syncValue([&] { return f.store->allReferences(); }))
    object[reference.id] = json::parse(dumpJson(*encode(reference)));
  return object;
}

/// The frame answering request `id`, or null.
json frameOf(const std::vector<json>& frames, const std::string& id) {
  for (const auto& frame : frames)
    if (frame.value("id", "") == id) return frame;
  return nullptr;
}

/// The index file and the index in memory both still hold `before`.
void expectIndexUnchanged(HandlerFixture& f, const json& before) {
  EXPECT_EQ(f.indexJSON(), before);
  EXPECT_EQ(memoryIndex(f), before);
}

std::vector<std::string> projectFiles(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& item : fs::directory_iterator(folder, ignored)) names.push_back(item.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ProjectsIndexFailure, ANewProjectWhoseEntryCannotBeWrittenLeavesNoFile) {
  HandlerFixture f;
  padIndex(f);
  const auto before = f.indexJSON();
  {
    FileSizeLimit full(kLimit);
    auto saved = f.library->saveProject("new", "Alpha", projectBytes("new", "Alpha"));
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().kind, Kind::indexNotWritten);
  }
  EXPECT_TRUE(projectFiles(f.folder).empty());
  expectIndexUnchanged(f, before);
}

TEST(ProjectsIndexFailure, ARenameWhoseEntryCannotBeWrittenKeepsTheOldFileAndEntry) {
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("a", "Alpha", projectBytes("a", "Alpha", "v1")));
  padIndex(f);
  const auto before = f.indexJSON();
  {
    FileSizeLimit full(kLimit);
    auto saved = f.library->saveProject("a", "Beta", projectBytes("a", "Beta", "v2"));
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().kind, Kind::indexNotWritten);
  }
  EXPECT_EQ(projectFiles(f.folder), std::vector<std::string>{"Alpha.kpr"});
  EXPECT_EQ(projectContent(f.folder / "Alpha.kpr"), "v1");
  expectIndexUnchanged(f, before);
  EXPECT_EQ(f.indexJSON()["a"]["name"], "Alpha");

  // With room again the same rename goes through.
  ASSERT_TRUE(f.library->saveProject("a", "Beta", projectBytes("a", "Beta", "v2")));
  EXPECT_EQ(projectFiles(f.folder), std::vector<std::string>{"Beta.kpr"});
}

TEST(ProjectsIndexFailure, AMoveWhoseEntryCannotBeWrittenPutsTheFileBack) {
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("a", "Alpha", projectBytes("a", "Alpha")));
  const auto elsewhere = f.root / "elsewhere";
  fs::create_directories(elsewhere);
  padIndex(f);
  const auto before = f.indexJSON();
  {
    FileSizeLimit full(kLimit);
    auto moved = f.library->moveProject("a", elsewhere);
    ASSERT_FALSE(moved);
    EXPECT_EQ(moved.error().kind, Kind::indexNotWritten);
  }
  EXPECT_EQ(projectFiles(f.folder), std::vector<std::string>{"Alpha.kpr"});
  EXPECT_TRUE(projectFiles(elsewhere).empty());
  expectIndexUnchanged(f, before);
}

TEST(ProjectsIndexFailure, AMigrationStopsAtTheFirstEntryThatCannotBeWrittenAndKeepsTheFolder) {
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("a", "Alpha", projectBytes("a", "Alpha")));
  ASSERT_TRUE(f.library->saveProject("b", "Beta", projectBytes("b", "Beta")));
  padIndex(f);
  const auto before = f.indexJSON();
  const auto next = f.root / "Next";
  fs::create_directories(next);
  {
    FileSizeLimit full(kLimit);
    f.library->changeProjectFolder(next, true);
  }
  EXPECT_EQ(projectFiles(f.folder), (std::vector<std::string>{"Alpha.kpr", "Beta.kpr"}));
  EXPECT_TRUE(projectFiles(next).empty());
  expectIndexUnchanged(f, before);
  EXPECT_EQ(f.library->projectFolder(), f.folder) << "new projects still go where the old ones stayed";
}

TEST(ProjectsIndexFailure, TheRemovalOfADeletedProjectsEntryComesFirst) {
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("a", "Alpha", projectBytes("a", "Alpha")));
  padIndex(f);
  const auto before = f.indexJSON();
  {
    FileSizeLimit full(kLimit);
    auto deleted = f.library->deleteProject("a");
    ASSERT_FALSE(deleted);
    EXPECT_EQ(deleted.error().kind, Kind::indexNotWritten);
  }
  EXPECT_EQ(projectFiles(f.folder), std::vector<std::string>{"Alpha.kpr"});
  expectIndexUnchanged(f, before);
}

TEST(ProjectsCreated, ANewProjectWasCreatedWhenItWasFirstSaved) {
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("a", "Alpha", projectBytes("a", "Alpha")));
  const auto items = f.library->requestAllProjects();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].created, items[0].lastsaved);
}

TEST(ProjectsMainQueue, ThePagesRequestsAreAnsweredWhileASaveIsInFlight) {
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("a", "Alpha", projectBytes("a", "Alpha")));
  // A large upload being written: the projects' queue is busy until it is let go.
  std::future<ProjectsResult<void>> saving;  // destroyed after `busy` lets the queue go
  auto busy = std::make_unique<BusyQueue>(f.library->queue());
  saving =
      std::async(std::launch::async, [&] { return f.library->saveProject("b", "Beta", projectBytes("b", "Beta")); });

  // None of these waits for the save; the listing is even answered before it ends.
  EXPECT_TRUE(finishesWithin(10s, [&] {
    dispatch::ManualQueue::Presence onMain(*f.main);  // the page's requests arrive on main
    f.handler->handleList("1");
    f.handler->handleInitialProjects("2");
    f.handler->handleDelete("3", RPCRequestProjectsDeleteParams{"a"});
    RPCRequestProjectsChangeProjectFolderParams change;
    change.migrateProjects = false;
    f.handler->handleChangeProjectFolder("4", change);
  }));
  EXPECT_TRUE(eventually([&] { return f.page->frames().size() >= 2; }));
  auto frames = f.page->frames();
  const auto list = frameOf(frames, "1");
  ASSERT_TRUE(list.is_object());
  ASSERT_EQ(list["result"]["projects"].size(), 1u);
  EXPECT_EQ(list["result"]["projects"][0]["id"], "a");
  EXPECT_EQ(frameOf(frames, "2"), json::parse(R"({"id":"2","jsonrpc":"2.0","result":{"projectIds":[]}})"));
  EXPECT_EQ(frames.size(), 2u) << "the delete and the folder change wait for the queue, not the caller";

  busy->release();
  ASSERT_TRUE(saving.get());
  ASSERT_TRUE(eventually([&] { return f.page->frames().size() == 4; }));
  frames = f.page->frames();
  EXPECT_EQ(frameOf(frames, "3"), json::parse(R"({"id":"3","jsonrpc":"2.0","result":{}})"));
  EXPECT_TRUE(frameOf(frames, "4").is_object());
  EXPECT_FALSE(fs::exists(f.folder / "Alpha.kpr"));
  EXPECT_TRUE(fs::exists(f.folder / "Beta.kpr"));
}

TEST(ProjectsMainQueue, AFileOpenedBeforeThePageAskedComesBackInTheInitialProjects) {
  HandlerFixture f;
  writeProject(f.root / "Opened.kpr", "opened1", "Opened");
  BusyQueue busy(f.library->queue());
  ASSERT_TRUE(f.handler->openProjectURLAsync(f.root / "Opened.kpr"));
  f.handler->handleInitialProjects("i1");
  EXPECT_TRUE(f.page->frames().empty()) << "answered once the open is done";
  busy.release();
  ASSERT_TRUE(eventually([&] { return !f.page->frames().empty(); }));
  f.handler->handleInitialProjects("i2");
  ASSERT_TRUE(eventually([&] { return f.page->frames().size() == 2; }));
  const auto frames = f.page->frames();
  EXPECT_EQ(frames[0], json::parse(R"({"id":"i1","jsonrpc":"2.0","result":{"projectIds":["opened1"]}})"));
  EXPECT_EQ(frames[1], json::parse(R"({"id":"i2","jsonrpc":"2.0","result":{"projectIds":[]}})"));
}

TEST(ProjectsNotAFile, APipeNamedLikeAProjectIsRefusedWithoutWaitingForAWriter) {
  HandlerFixture f;
  const auto pipe = f.folder / "Pipe.kpr";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  EXPECT_FALSE(f.handler->openProjectURLAsync(pipe));
  ASSERT_TRUE(finishesWithin(10s, [&] {
    auto opened = f.handler->openProjectURL(pipe);
    EXPECT_FALSE(opened);
  }));
  // An index entry naming the pipe: loading the file or one entry fails at once, and so does a
  // save over it.
  ASSERT_TRUE(f.store->setReference(ProjectReference{"p", pipe.string(), "Pipe", {}, {}}, "p"));
  ASSERT_TRUE(finishesWithin(10s, [&] {
    EXPECT_FALSE(f.library->loadProject("p"));
    EXPECT_EQ(bodyText(f.library->loadProjectEntry("p", "icon.svg").value_or(EntryBody{})), f.library->emptySVG());
    EXPECT_FALSE(f.library->loadProjectEntry("p", "manifest.json"));
    auto saved = f.library->saveProject("p", "Pipe", projectBytes("p", "Pipe"));
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().kind, Kind::unableToWriteFile);
  }));
  struct stat info {};
  ASSERT_EQ(::lstat(pipe.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "the pipe is left as it was";
}

TEST(ProjectsReadOnly, AReadOnlyCopyIsNeitherRewrittenNorIndexedNorAnnounced) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write any file; run as a normal user";
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("orig", "Robot", projectBytes("orig", "Robot")));
  (void)f.handler->initialProjects();  // from now on opened projects are announced at once
  const auto copy = f.root / "Robot copy.kpr";
  fs::copy_file(f.folder / "Robot.kpr", copy);
  ASSERT_EQ(::chmod(copy.c_str(), 0444), 0);
  const auto bytes = readFile(copy);
  const auto before = f.indexJSON();

  auto opened = f.handler->openProjectURL(copy);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().kind, Kind::unableToOpenZip);
  EXPECT_EQ(readFile(copy), bytes);
  EXPECT_EQ(archive::test::permissions(copy), 0444u);
  EXPECT_EQ(f.indexJSON(), before);
  EXPECT_TRUE(f.page->frames().empty());

  // A save over an indexed project the user cannot write is refused too, renamed or not.
  ASSERT_EQ(::chmod((f.folder / "Robot.kpr").c_str(), 0444), 0);
  const auto original = readFile(f.folder / "Robot.kpr");
  for (const char* name : {"Robot", "Renamed"}) {
    auto saved = f.library->saveProject("orig", name, projectBytes("orig", name, "changed"));
    ASSERT_FALSE(saved) << name;
    EXPECT_EQ(saved.error().kind, Kind::unableToWriteFile);
  }
  EXPECT_EQ(readFile(f.folder / "Robot.kpr"), original);
  EXPECT_EQ(projectFiles(f.folder), std::vector<std::string>{"Robot.kpr"});
}

TEST(ProjectsStrayTemporaries, UnfinishedSavesInTheProjectFolderAreRemovedAtStart) {
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("a", "Robot", projectBytes("a", "Robot")));
  writeFile(f.folder / ".Robot.kpr.tmp-0123456789ab", "half a project");
  writeFile(f.folder / ".Other Name.kpr.tmp-ba9876543210", "another half");
  writeFile(f.folder / ".notes.txt.tmp-0123456789ab", "not ours");
  writeFile(f.folder / ".Robot.kpr.tmp-backup", "not ours either");
  EXPECT_EQ(f.library->removeStrayTemporaries(), 2u);
  EXPECT_EQ(projectFiles(f.folder),
            (std::vector<std::string>{".Robot.kpr.tmp-backup", ".notes.txt.tmp-0123456789ab", "Robot.kpr"}));
}

}  // namespace
}  // namespace kestrom::test

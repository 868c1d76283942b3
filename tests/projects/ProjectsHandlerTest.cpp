// Saving, listing, deleting and moving projects, and the project folder, on real files.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "KestromKit/base/Constants.h"
#include "platform/defaults/JSONFileUserDefaults.h"
#include "tests/projects/ProjectTestSupport.h"
#include "tests/support/Eventually.h"

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;
using Kind = ProjectsHandlerError::Kind;

std::vector<std::string> names(const fs::path& folder) {
  std::vector<std::string> out;
  for (const auto& item : fs::directory_iterator(folder)) out.push_back(item.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(ProjectsSave, NewProjectsTakeAFreeNameAndRenamesWriteBeforeRemoving) {
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("id1", "Robot", projectBytes("id1", "Robot", "v1")));
  EXPECT_EQ(f.fileOf("id1"), f.folder / "Robot.kpr");
  EXPECT_TRUE(unzipTestPasses(f.folder / "Robot.kpr"));
  EXPECT_EQ(f.indexJSON()["id1"]["filePath"], Constants::tildePath(f.folder / "Robot.kpr"));

  // An indexed project of the same name, and an unindexed file of the next name.
  writeFile(f.folder / "Robot 1.kpr", "somebody else's file");
  ASSERT_TRUE(f.library->saveProject("id2", "Robot", projectBytes("id2", "Robot")));
  EXPECT_EQ(f.fileOf("id2"), f.folder / "Robot 2.kpr");
  EXPECT_EQ(readFile(f.folder / "Robot 1.kpr"), "somebody else's file");

  // Same name: rewritten in place, mode and first creation time kept.
  ::chmod((f.folder / "Robot.kpr").c_str(), 0640);
  const auto created = f.indexJSON()["id1"]["created"];
  ASSERT_TRUE(created.is_number());
  ASSERT_TRUE(f.library->saveProject("id1", "Robot", projectBytes("id1", "Robot", "v2")));
  EXPECT_EQ(projectContent(f.folder / "Robot.kpr"), "v2");
  EXPECT_EQ(archive::test::permissions(f.folder / "Robot.kpr"), 0640u);
  EXPECT_EQ(f.indexJSON()["id1"]["created"], created);

  // A new name with characters that cannot be in a file name: a new file, then the old one goes.
  ASSERT_TRUE(f.library->saveProject("id1", "A:B/../C", projectBytes("id1", "A:B/../C", "v3")));
  EXPECT_EQ(f.fileOf("id1"), f.folder / "A B .. C.kpr");
  EXPECT_EQ(projectContent(f.fileOf("id1")), "v3");
  EXPECT_FALSE(fs::exists(f.folder / "Robot.kpr"));
  EXPECT_EQ(f.indexJSON()["id1"]["name"], "A:B/../C");
  EXPECT_EQ(f.indexJSON()["id1"]["created"], created);
  EXPECT_EQ(names(f.folder), (std::vector<std::string>{"A B .. C.kpr", "Robot 1.kpr", "Robot 2.kpr"}));

  auto empty = f.library->saveProject("", "n", "x");
  EXPECT_EQ(empty.error().kind, Kind::emptyId);
  EXPECT_EQ(f.library->saveProject("i", "", "x").error().kind, Kind::emptyName);
  EXPECT_EQ(f.library->saveProject("i", "n", "").error().kind, Kind::emptyData);
}

TEST(ProjectsSave, KnownProjectsAreSavedWhereverTheyLieAndThroughSymbolicLinks) {
  HandlerFixture f;
  const auto elsewhere = f.root / "elsewhere";
  writeProject(elsewhere / "Real.kpr", "id1", "Real", "v1");
  fs::create_symlink(elsewhere / "Real.kpr", f.root / "Link.kpr");
  ASSERT_TRUE(f.handler->openProjectURL(f.root / "Link.kpr"));
  ASSERT_TRUE(f.library->saveProject("id1", "Real", projectBytes("id1", "Real", "v2")));
  EXPECT_TRUE(fs::is_symlink(f.root / "Link.kpr"));
  EXPECT_EQ(projectContent(elsewhere / "Real.kpr"), "v2");
}

TEST(ProjectsSave, SaveAsWritesOnlyWhereTheDialogOrTheIndexAllows) {
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("a", "A", projectBytes("a", "A")));
  ASSERT_TRUE(f.library->saveProject("b", "B", projectBytes("b", "B")));
  const auto outside = f.root / "chosen.kpr";

  auto refused = f.library->saveProjectAs("b", "B", projectBytes("b", "B"), outside.string());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, Kind::pathNotAllowed);
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_FALSE(f.library->saveProjectAs("b", "B", "x", (f.root / "../etc.kpr").string()));
  f.library->allowSaveAsPath(f.root / "chosen.txt");
  EXPECT_FALSE(f.library->saveProjectAs("b", "B", "x", (f.root / "chosen.txt").string())) << "wrong extension";

  f.library->allowSaveAsPath(outside);
  auto saved = f.library->saveProjectAs("b", "B", projectBytes("b", "B", "copy"), Constants::tildePath(outside));
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved, std::nullopt);
  EXPECT_EQ(f.fileOf("b"), outside);
  EXPECT_EQ(projectContent(outside), "copy");

  // Onto the file of another indexed project: that project's entry goes, its id comes back.
  auto over = f.library->saveProjectAs("b", "B", projectBytes("b", "B", "over"), (f.folder / "A.kpr").string());
  ASSERT_TRUE(over);
  EXPECT_EQ(*over, std::optional<std::string>("a"));
  EXPECT_FALSE(f.indexJSON().contains("a"));
  EXPECT_EQ(projectContent(f.folder / "A.kpr"), "over");
  // Onto its own file: nothing else goes.
  EXPECT_EQ(*f.library->saveProjectAs("b", "B", projectBytes("b", "B"), (f.folder / "A.kpr").string()), std::nullopt);
}

TEST(ProjectsList, DropsEntriesOnlyWhenTheFileIsReallyGone) {
  HandlerFixture f;
  for (const auto* id : {"keep", "trash", "gone", "notdir", "loop"})
    ASSERT_TRUE(f.library->saveProject(id, id, projectBytes(id, id)));
  const auto trash = Constants::path().macOS.trash;
  fs::create_directories(trash);
  fs::rename(f.fileOf("trash"), trash / "trash.kpr");
  ASSERT_TRUE(f.store->setReference(ProjectReference{"trash", Constants::tildePath(trash / "trash.kpr"), "trash", {}, {}}, "trash"));
  fs::remove(f.fileOf("gone"));
  writeFile(f.root / "plainfile", "x");
  ASSERT_TRUE(f.store->setReference(ProjectReference{"notdir", (f.root / "plainfile/x.kpr").string(), "notdir", {}, {}}, "notdir"));
  // A path that cannot be looked at right now (a loop of links) is not a vanished project.
  fs::create_symlink(f.root / "loop2", f.root / "loop1");
  fs::create_symlink(f.root / "loop1", f.root / "loop2");
  ASSERT_TRUE(f.store->setReference(ProjectReference{"loop", (f.root / "loop1/x.kpr").string(), "loop", {}, {}}, "loop"));

  auto items = f.library->requestAllProjects();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].id, "keep");
  EXPECT_EQ(items[0].name, "keep");
  EXPECT_EQ(items[0].size, static_cast<double>(fs::file_size(f.fileOf("keep"))));
  EXPECT_LE(items[0].created, items[0].lastsaved + std::chrono::seconds(1));
  auto index = f.indexJSON();
  EXPECT_TRUE(index.contains("keep"));
  EXPECT_TRUE(index.contains("loop"));
  EXPECT_FALSE(index.contains("trash"));
  EXPECT_FALSE(index.contains("gone"));
  EXPECT_FALSE(index.contains("notdir"));
  EXPECT_EQ(f.library->requestAllProjects().size(), 1u);
}

TEST(ProjectsList, AListSentRightAfterADeletionNoLongerShowsTheProject) {
  HandlerFixture f;
  constexpr int kRounds = 20;
  for (int i = 0; i < kRounds; ++i) {
    const std::string id = "p" + std::to_string(i);
    ASSERT_TRUE(f.library->saveProject(id, id, projectBytes(id, id)));
  }
  {
    BusyQueue saving(f.library->queue());  // a save in flight: the deletions wait behind it
    for (int i = 0; i < kRounds; ++i) {
      f.handler->handleDelete("d" + std::to_string(i), {"p" + std::to_string(i)});
      f.handler->handleList("l" + std::to_string(i));
    }
  }
  ASSERT_TRUE(eventually([&] { return f.page->frames().size() == 2 * kRounds; }));
  int lists = 0;
  for (const auto& frame : f.page->frames()) {
    const std::string id = frame["id"];
    if (id[0] == 'd') {
      EXPECT_TRUE(frame.contains("result")) << frame.dump();
      continue;
    }
    ++lists;
    const int round = std::stoi(id.substr(1));
    for (const auto& project : frame["result"]["projects"])
      EXPECT_GT(std::stoi(project["id"].get<std::string>().substr(1)), round) << "list " << round;
  }
  EXPECT_EQ(lists, kRounds);
}

TEST(ProjectsDeleteAndMove, RemoveRegularFilesOnlyAndNeverReplace) {
  HandlerFixture f;
  EXPECT_TRUE(f.library->deleteProject("unknown"));
  ASSERT_TRUE(f.library->saveProject("a", "A", projectBytes("a", "A")));
  ASSERT_TRUE(f.library->saveProject("d", "D", projectBytes("d", "D")));

  // An entry that names a folder never takes the folder with it.
  fs::create_directories(f.root / "folder.kpr/inside");
  ASSERT_TRUE(f.store->setReference(ProjectReference{"dir", (f.root / "folder.kpr").string(), "dir", {}, {}}, "dir"));
  EXPECT_EQ(f.library->deleteProject("dir").error().kind, Kind::notAFile);
  EXPECT_TRUE(fs::exists(f.root / "folder.kpr/inside"));

  ASSERT_TRUE(f.library->deleteProject("d"));
  EXPECT_FALSE(fs::exists(f.folder / "D.kpr"));
  EXPECT_FALSE(f.indexJSON().contains("d"));

  const auto destination = f.root / "dest";
  fs::create_directories(destination);
  writeFile(destination / "A.kpr", "already there");
  auto clash = f.library->moveProject("a", destination);
  ASSERT_FALSE(clash);
  EXPECT_EQ(readFile(destination / "A.kpr"), "already there");
  EXPECT_EQ(f.fileOf("a"), f.folder / "A.kpr");

  fs::remove(destination / "A.kpr");
  ASSERT_TRUE(f.library->moveProject("a", destination));
  EXPECT_EQ(f.fileOf("a"), destination / "A.kpr");
  EXPECT_TRUE(unzipTestPasses(destination / "A.kpr"));
  EXPECT_FALSE(fs::exists(f.folder / "A.kpr"));
  EXPECT_TRUE(f.library->moveProject("unknown", destination));
}

TEST(ProjectFolder, StatusFollowsTheStoredChoiceAcrossRestarts) {
  TempFolder scratch;
  const auto defaultsFile = scratch / "defaults.json";
  auto stored = std::make_shared<defaults::JSONFileUserDefaults>(defaultsFile);
  MacOsProjectFolderHolder fresh("Example Projects", stored);
  EXPECT_EQ(fresh.projectFolder(),
            (ProjectFolderState{Constants::documentsFolder() / "Example Projects", ProjectFolderStatus::needsMigration}));

  const auto chosen = scratch / "Chosen";
  fs::create_directories(chosen);
  ASSERT_TRUE(fresh.setProjectFolder(chosen));
  MacOsProjectFolderHolder restarted("Example Projects", std::make_shared<defaults::JSONFileUserDefaults>(defaultsFile));
  EXPECT_EQ(restarted.projectFolder(), (ProjectFolderState{chosen, ProjectFolderStatus::ok}));
  EXPECT_TRUE(nlohmann::json::parse(readFile(defaultsFile))[std::string(MacOsProjectFolderHolder::kProjectFolderBookmarkKey)]
                  .is_string());

  const auto trash = Constants::path().macOS.trash;
  fs::create_directories(trash);
  fs::rename(chosen, trash / "Chosen");
  EXPECT_EQ(restarted.projectFolder().status, ProjectFolderStatus::missing);
  EXPECT_EQ(restarted.projectFolder().folder, restarted.legacyUrl());
  fs::rename(trash / "Chosen", chosen);  // restored from the trash: in use again
  EXPECT_EQ(restarted.projectFolder().status, ProjectFolderStatus::ok);
  fs::remove_all(chosen);
  EXPECT_EQ(restarted.projectFolder().status, ProjectFolderStatus::missing);
}

TEST(ProjectFolder, MigrationMovesWhatIsInsideAndKeepsWhatCannotMove) {
  HandlerFixture f;
  ASSERT_TRUE(f.library->saveProject("a", "A", projectBytes("a", "A", "a")));
  ASSERT_TRUE(f.library->saveProject("clash", "Clash", projectBytes("clash", "Clash")));
  writeProject(f.folder / "sub/S.kpr", "s", "S");
  ASSERT_TRUE(f.handler->openProjectURL(f.folder / "sub/S.kpr"));
  writeProject(f.root / "outside/O.kpr", "o", "O");
  ASSERT_TRUE(f.handler->openProjectURL(f.root / "outside/O.kpr"));
  // A sibling folder whose name merely begins with the old folder's is not inside it.
  writeProject(f.root / "Projects2/P.kpr", "p", "P");
  ASSERT_TRUE(f.handler->openProjectURL(f.root / "Projects2/P.kpr"));
  const auto before = f.indexJSON();

  const auto next = f.root / "Next";
  fs::create_directories(next);
  writeFile(next / "Clash.kpr", "not to be replaced");
  f.library->changeProjectFolder(next, true);

  EXPECT_EQ(f.library->projectFolderState(), (ProjectFolderState{next, ProjectFolderStatus::ok}));
  EXPECT_EQ(f.fileOf("a"), next / "A.kpr");
  EXPECT_EQ(projectContent(next / "A.kpr"), "a");
  EXPECT_EQ(f.fileOf("s"), next / "sub/S.kpr");
  EXPECT_EQ(f.fileOf("clash"), f.folder / "Clash.kpr") << "a file that cannot move keeps its entry";
  EXPECT_EQ(readFile(next / "Clash.kpr"), "not to be replaced");
  EXPECT_EQ(f.indexJSON()["o"], before["o"]);
  EXPECT_EQ(f.indexJSON()["p"], before["p"]);

  // Without migration only the folder changes; the same folder again changes nothing.
  const auto third = f.root / "Third";
  fs::create_directories(third);
  f.library->changeProjectFolder(third, false);
  EXPECT_EQ(f.fileOf("a"), next / "A.kpr");
  ASSERT_TRUE(f.library->saveProject("n", "New", projectBytes("n", "New")));
  EXPECT_EQ(f.fileOf("n"), third / "New.kpr");
}

TEST(ProjectsConcurrency, ConcurrentUploadsOfOneNameEachGetTheirOwnFile) {
  HandlerFixture f;
  const auto other = f.root / "Other";
  writeProject(other / "Robot.kpr", "far", "Robot", "far-0");
  ASSERT_TRUE(f.handler->openProjectURL(other / "Robot.kpr"));
  ASSERT_TRUE(f.library->saveProject("near", "Robot", projectBytes("near", "Robot", "near-0")));

  constexpr int kRounds = 20;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (const std::string id : {"far", "near", "new1", "new2"})
    threads.emplace_back([&, id] {
      for (int i = 1; i <= kRounds; ++i)
        if (!f.library->saveProject(id, "Robot", projectBytes(id, "Robot", id + "-" + std::to_string(i)))) ++failures;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(f.fileOf("far"), other / "Robot.kpr");
  EXPECT_EQ(f.fileOf("near"), f.folder / "Robot 1.kpr") << "an indexed project elsewhere holds the name";
  std::set<fs::path> files;
  for (const std::string id : {"far", "near", "new1", "new2"}) {
    files.insert(f.fileOf(id));
    EXPECT_EQ(projectContent(f.fileOf(id)), id + "-" + std::to_string(kRounds));
    EXPECT_TRUE(unzipTestPasses(f.fileOf(id)));
  }
  EXPECT_EQ(files.size(), 4u);
  for (const auto& item : fs::directory_iterator(f.folder))
    EXPECT_EQ(item.path().extension(), ".kpr") << "no temporary file is left behind: " << item.path();
}

}  // namespace
}  // namespace kestrom::test

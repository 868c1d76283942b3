// Project files that reach the host from outside, the opened-id hand-over, loading and sharing.

#include <gtest/gtest.h>

#include "KestromKit/base/Constants.h"
#include "platform/archive/Archive.h"
#include "tests/projects/ProjectTestSupport.h"

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;
using Kind = ProjectsHandlerError::Kind;
using nlohmann::json;

class RecordingDelegate final : public ProjectsDelegate {
 public:
  void presentDialog(KestromDialogType, std::function<void(DialogResult)>) override {}
  void share(std::vector<fs::path> items) override { shared.push_back(std::move(items)); }
  void selectMoveDestination(std::function<void(DialogResult)>) override {}
  std::vector<std::vector<fs::path>> shared;
};

TEST(ProjectsOpen, IndexesNewFilesAndGivesCopiesAnIdentityOfTheirOwn) {
  HandlerFixture f;
  const auto robot = f.root / "Robot.kpr";
  writeProject(robot, "orig", "Robot", "r");
  const auto untouched = readFile(robot);
  ASSERT_TRUE(f.handler->openProjectURL(robot));
  EXPECT_EQ(f.fileOf("orig"), robot);
  EXPECT_EQ(readFile(robot), untouched) << "a new project's file is not changed";
  ASSERT_TRUE(f.handler->openProjectURL(robot));  // again: the same entry, announced again

  // A duplicate made in the file manager: same manifest id, still-existing original.
  fs::copy_file(robot, f.root / "Robot copy.kpr");
  ASSERT_TRUE(f.handler->openProjectURL(f.root / "Robot copy.kpr"));
  const auto copyManifest = manifestOf(f.root / "Robot copy.kpr");
  const std::string copyId = copyManifest["id"];
  EXPECT_NE(copyId, "orig");
  EXPECT_EQ(copyId.size(), 12u);
  EXPECT_EQ(copyManifest["name"], "Robot copy");
  EXPECT_EQ(copyManifest["type"], "python") << "other manifest keys survive";
  EXPECT_EQ(projectContent(f.root / "Robot copy.kpr"), "r");
  EXPECT_TRUE(unzipTestPasses(f.root / "Robot copy.kpr"));
  EXPECT_EQ(f.fileOf(copyId), f.root / "Robot copy.kpr");
  EXPECT_EQ(f.fileOf("orig"), robot);

  // The same file reached through a link is the indexed project, not a copy.
  fs::create_symlink(robot, f.root / "Link.kpr");
  ASSERT_TRUE(f.handler->openProjectURL(f.root / "Link.kpr"));
  EXPECT_EQ(manifestOf(robot)["id"], "orig");

  // A project the user moved: same id, the file's own name, the new place.
  fs::create_directories(f.root / "moved");
  fs::rename(robot, f.root / "moved/Renamed.kpr");
  ASSERT_TRUE(f.handler->openProjectURL(f.root / "moved/Renamed.kpr"));
  EXPECT_EQ(f.fileOf("orig"), f.root / "moved/Renamed.kpr");
  EXPECT_EQ(manifestOf(f.root / "moved/Renamed.kpr")["name"], "Renamed");
  EXPECT_EQ(f.indexJSON()["orig"]["name"], "Renamed");

  // Files before the page asked come back in order, once; later ones are announced at once.
  EXPECT_TRUE(f.page->frames().empty());
  EXPECT_EQ(f.handler->initialProjects(), (std::vector<std::string>{"orig", "orig", copyId, "orig", "orig"}));
  EXPECT_TRUE(f.handler->initialProjects().empty());
  ASSERT_TRUE(f.handler->openProjectURL(f.root / "Robot copy.kpr"));
  ASSERT_EQ(f.page->frames().size(), 1u);
  EXPECT_EQ(f.page->frames()[0],
            json::parse(R"({"jsonrpc":"2.0","method":"/projects/opennotification","params":{"ids":[")" + copyId + R"("]}})"));
}

TEST(ProjectsOpen, AFileThatIsNoProjectIsReportedAndNotIndexed) {
  HandlerFixture f;
  writeFile(f.root / "text.kpr", "just text");
  auto notZip = f.handler->openProjectURL(f.root / "text.kpr");
  ASSERT_FALSE(notZip);
  EXPECT_EQ(notZip.error().kind, Kind::missingFileInZip);
  EXPECT_EQ(notZip.error().value, (f.root / "text.kpr").string());
  EXPECT_EQ(notZip.error().filePath, "manifest.json");

  const auto bad = f.root / "bad.kpr";
  std::vector<archive::NewEntry> entries{{"manifest.json", R"({"id":5,"name":"x"})"}};
  ASSERT_TRUE(archive::writeArchive(bad, entries));
  EXPECT_EQ(f.handler->openProjectURL(bad).error().kind, Kind::invalidManifest);
  EXPECT_EQ(f.handler->openProjectURL(f.root / "missing.kpr").error().kind, Kind::missingFileInZip);
  EXPECT_TRUE(!fs::exists(f.indexFile) || f.indexJSON().empty());
  EXPECT_TRUE(f.handler->initialProjects().empty());
}

TEST(ProjectsLoad, WholeFilesEntriesAndThePlaceholderPreview) {
  HandlerFixture f;
  const std::string bytes = projectBytes("a", "A", "content", /*withIcon=*/false);
  ASSERT_TRUE(f.library->saveProject("a", "A", bytes));
  EXPECT_EQ(fileText(**f.library->loadProject("a")), bytes);
  EXPECT_EQ(bodyText(*f.library->loadProjectEntry("a", "main.py")), "content");
  const auto placeholder = bodyText(*f.library->loadProjectEntry("a", "icon.svg"));
  EXPECT_EQ(placeholder.size(), 116u);
  EXPECT_EQ(placeholder, f.library->emptySVG());
  EXPECT_EQ(placeholder.find('\n'), std::string::npos);
  EXPECT_EQ(f.library->loadProjectEntry("a", "nothing").error().kind, Kind::missingFileInZip);
  EXPECT_EQ(f.library->loadProject("zz").error().kind, Kind::unknownProjectId);
  EXPECT_EQ(f.library->loadProjectEntry("zz", "icon.svg").error().kind, Kind::unknownProjectId);
  // An archive that is not one still previews as the placeholder.
  writeFile(f.fileOf("a"), "garbage");
  EXPECT_EQ(bodyText(*f.library->loadProjectEntry("a", "icon.svg")), f.library->emptySVG());
}

TEST(ProjectsLoad, AnEntryPastTheHeldSizeIsAnsweredFromAnUnnamedFileWrittenAChunkAtATime) {
  HandlerFixture f;
  // 5 MiB of text that does not repeat, so it neither fits the held buffer nor compresses away.
  std::string large;
  for (std::uint32_t i = 0; large.size() < (5u << 20); ++i) large += std::to_string(i * 2654435761u) + "\n";
  ASSERT_TRUE(f.library->saveProject("a", "A", projectBytes("a", "A", large)));
  TempFolder spool;
  auto entry = f.library->loadProjectEntry("a", "main.py", spool.path());
  ASSERT_TRUE(entry);
  ASSERT_TRUE(entry->file) << "answered from a file";
  EXPECT_TRUE(entry->bytes.empty());
  EXPECT_EQ(entry->file->size(), large.size());
  EXPECT_EQ(fileText(*entry->file), large);
  EXPECT_TRUE(fs::is_empty(spool.path())) << "the file has no name";
  // Small entries stay in memory.
  auto small = f.library->loadProjectEntry("a", "manifest.json", spool.path());
  ASSERT_TRUE(small);
  EXPECT_FALSE(small->file);
  EXPECT_EQ(nlohmann::json::parse(small->bytes).at("id"), "a");
  // A spool folder that cannot take the file fails the entry (which is there), not the host.
  auto nowhere = f.library->loadProjectEntry("a", "main.py", spool.path() / "missing");
  ASSERT_FALSE(nowhere);
  EXPECT_EQ(nowhere.error().kind, Kind::fileSystem);
}

TEST(ProjectsShare, AnswersWithTheTextsThePageKnows) {
  HandlerFixture f;
  auto delegate = std::make_shared<RecordingDelegate>();
  ASSERT_TRUE(f.library->saveProject("a", "A", projectBytes("a", "A")));
  f.handler->setDelegate(delegate);
  f.handler->handleShare("1", {"a"});
  f.handler->handleShare("2", {"zz"});
  fs::remove(f.folder / "A.kpr");
  f.handler->handleShare("3", {"a"});
  f.handler->setDelegate({});
  f.handler->handleShare("4", {"a"});
  ASSERT_TRUE(f.library->saveProject("b", "B", projectBytes("b", "B")));
  f.handler->handleShare("5", {"b"});  // no delegate: {}

  const auto frames = f.page->frames();
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[0], json::parse(R"({"id":"1","jsonrpc":"2.0","result":{}})"));
  EXPECT_EQ(frames[1]["error"], "Unable to share project. Unknown project id zz");
  const std::string missing = "Unable to share project. Missing file for project id a at path " + (f.folder / "A.kpr").string();
  EXPECT_EQ(frames[2]["error"], missing);
  EXPECT_EQ(frames[3]["error"], missing);
  EXPECT_EQ(frames[4], json::parse(R"({"id":"5","jsonrpc":"2.0","result":{}})"));
  ASSERT_EQ(delegate->shared.size(), 1u);
  EXPECT_EQ(delegate->shared[0], std::vector<fs::path>{f.folder / "A.kpr"});
}

}  // namespace
}  // namespace kestrom::test

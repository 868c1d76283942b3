// The project index file, the naming rules and the manifest record.

#include <gtest/gtest.h>

#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/Project.h"
#include "KestromKit/storage/ProjectInfoStore.h"
#include "KestromKit/storage/ProjectNames.h"
#include "tests/projects/ProjectTestSupport.h"

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(ProjectIndex, IsOneObjectKeyedByIdThatSurvivesAReload) {
  TempFolder folder;
  const auto file = folder / "availableProjects.json";
  writeFile(file, "{}");
  ProjectInfoStore empty(file);
  empty.load();
  EXPECT_TRUE(empty.queue()->syncValue([&] { return empty.allReferences(); }).empty());
  EXPECT_EQ(folder.names(), std::vector<std::string>{"availableProjects.json"});  // "{}" is no corrupt index

  writeFile(file, R"({"a1":{"id":"a1","filePath":"~/P/A.kpr","name":"A","bookmark":null},
                      "b2":{"id":"b2","filePath":"/tmp/B.kpr","name":"B","bookmark":"L3RtcC9CLmtwcg==","extra":1}})");
  ProjectInfoStore store(file);
  store.load();
  auto b2 = store.queue()->syncValue([&] { return store.reference("b2"); });
  ASSERT_TRUE(b2);
  EXPECT_EQ(b2->filePath, "/tmp/B.kpr");
  EXPECT_EQ(b2->bookmark, "L3RtcC9CLmtwcg==");
  EXPECT_EQ(store.queue()->syncValue([&] { return store.reference("a1"); })->bookmark, std::nullopt);

  ASSERT_TRUE(store.setReference(ProjectReference{"c3", "~/P/C.kpr", "C", std::nullopt, std::nullopt}, "c3"));
  ASSERT_TRUE(store.setReference(std::nullopt, "b2"));
  ASSERT_TRUE(store.setReference(std::nullopt, "never-stored"));  // still rewrites the file
  const auto written = json::parse(readFile(file));
  EXPECT_EQ(written, json::parse(R"({"a1":{"id":"a1","filePath":"~/P/A.kpr","name":"A"},
                                     "c3":{"id":"c3","filePath":"~/P/C.kpr","name":"C"}})"));

  ProjectInfoStore reloaded(file);
  reloaded.load();
  EXPECT_EQ(reloaded.queue()->syncValue([&] { return reloaded.allReferences(); }).size(), 2u);
}

TEST(ProjectIndex, SetsAsideAnIndexItCannotReadBeforeWritingANewOne) {
  for (const std::string& damaged : {std::string("[{\"id\":\"a\"}]"), std::string("{\"a\":{\"id\":\"a\",\"name\":3}}"),
                                    std::string("{not json")}) {
    TempFolder folder;
    const auto file = folder / "availableProjects.json";
    writeFile(file, damaged);
    ProjectInfoStore store(file);
    store.load();
    EXPECT_TRUE(store.queue()->syncValue([&] { return store.allReferences(); }).empty()) << damaged;
    EXPECT_EQ(readFile(folder / "availableProjects.json.corrupt"), damaged);
    ASSERT_TRUE(store.setReference(ProjectReference{"n", "/tmp/n.kpr", "N", std::nullopt, std::nullopt}, "n"));
    EXPECT_EQ(json::parse(readFile(file)).size(), 1u);
    EXPECT_EQ(readFile(folder / "availableProjects.json.corrupt"), damaged) << "the damaged index is kept";
  }
}

TEST(ProjectIndex, ADamagedEntryCostsOnlyItselfAndTheFileIsKeptAside) {
  TempFolder folder;
  const auto file = folder / "availableProjects.json";
  const std::string damaged = R"({"good":{"id":"good","filePath":"~/P/Good.kpr","name":"Good"},
                                  "bad":{"id":"bad","filePath":"~/P/Bad.kpr","name":42},
                                  "also":{"id":"also","filePath":"/tmp/Also.kpr","name":"Also"},
                                  "nopath":{"id":"nopath","name":"No path"}})";
  writeFile(file, damaged);
  ProjectInfoStore store(file);
  store.load();
  auto references = store.queue()->syncValue([&] { return store.allReferences(); });
  ASSERT_EQ(references.size(), 2u);
  EXPECT_TRUE(store.queue()->syncValue([&] { return store.reference("good"); }));
  EXPECT_TRUE(store.queue()->syncValue([&] { return store.reference("also"); }));
  EXPECT_EQ(readFile(folder / "availableProjects.json.corrupt"), damaged);
  // The next start, with no change in between, still finds every entry that read.
  ProjectInfoStore restarted(file);
  restarted.load();
  EXPECT_EQ(restarted.queue()->syncValue([&] { return restarted.allReferences(); }), references);
  EXPECT_EQ(readFile(folder / "availableProjects.json.corrupt"), damaged);

  ASSERT_TRUE(store.setReference(ProjectReference{"n", "/tmp/n.kpr", "N", std::nullopt, std::nullopt}, "n"));
  const auto written = json::parse(readFile(file));
  EXPECT_EQ(written.size(), 3u);
  EXPECT_EQ(written["good"]["name"], "Good");
  EXPECT_EQ(written["also"]["filePath"], "/tmp/Also.kpr");
  EXPECT_EQ(readFile(folder / "availableProjects.json.corrupt"), damaged);
}

TEST(ProjectIndex, ADamagedIndexOnAFullDiskStaysAndEachStartReadsItsEntriesAgain) {
  TempFolder folder;
  const auto file = folder / "availableProjects.json";
  json damaged = json::object();
  for (int i = 0; i < 80; ++i)
    damaged["p" + std::to_string(i)] = {{"id", "p" + std::to_string(i)}, {"filePath", "/tmp/p.kpr"}, {"name", std::string(200, 'p')}};
  damaged["bad"] = {{"id", "bad"}, {"name", 42}};
  writeFile(file, damaged.dump());
  {
    FileSizeLimit full(16 << 10);  // neither a copy nor the rewrite fits
    for (int start = 0; start < 2; ++start) {
      ProjectInfoStore store(file);
      store.load();
      EXPECT_EQ(store.queue()->syncValue([&] { return store.allReferences(); }).size(), 80u) << "start " << start;
      EXPECT_EQ(folder.names(), std::vector<std::string>{"availableProjects.json"});
      EXPECT_EQ(readFile(file), damaged.dump());
    }
  }
  // With room again, the next start copies it aside and writes the entries back.
  ProjectInfoStore store(file);
  store.load();
  EXPECT_EQ(readFile(folder / "availableProjects.json.corrupt"), damaged.dump());
  EXPECT_EQ(json::parse(readFile(file)).size(), 80u);
}

TEST(ProjectNames, CleanInvalidCharactersIntoOneFileNameComponent) {
  using ProjectNames::fileURLWithName;
  EXPECT_EQ(fileURLWithName("A:B", "/p/Old.kpr"), fs::path("/p/A B.kpr"));
  EXPECT_EQ(fileURLWithName("../../etc/passwd", "/p/Old.kpr"), fs::path("/p/.. .. etc passwd.kpr"));
  EXPECT_EQ(fileURLWithName("a\nb\tc\x7f" "d", "/p/Old.kpr"), fs::path("/p/a b c d.kpr"));
  EXPECT_EQ(fileURLWithName("line\u2028sep\u200Bx", "/p/Old.kpr"), fs::path("/p/line sep x.kpr"));
  EXPECT_EQ(fileURLWithName("bad\xff" "utf8", "/p/Old.kpr"), fs::path("/p/bad utf8.kpr"));
  EXPECT_EQ(fileURLWithName("..", "/p/Old.kpr").parent_path(), fs::path("/p"));
  EXPECT_EQ(fileURLWithName("Name", "/p/NoExtension"), fs::path("/p/Name"));
  EXPECT_EQ(fileURLWithName("Wörld 🙂", "/p/x.kpr"), fs::path("/p/Wörld 🙂.kpr"));
  const auto longName = fileURLWithName(std::string(300, 'a') + "é", "/p/x.kpr").filename().string();
  EXPECT_LE(longName.size(), 255u - 13u);  // room for " <counter>" within NAME_MAX
  for (const auto* name : {"a/b", "../x", "/", "a\0b"}) {
    auto path = fileURLWithName(name, "/p/x.kpr");
    EXPECT_EQ(path.parent_path(), fs::path("/p")) << name;
  }
}

TEST(ProjectNames, NextAvailableNameCountsOnWithoutOverflowing) {
  using ProjectNames::nextAvailableName;
  const fs::path robot = "/p/Robot.kpr";
  EXPECT_EQ(nextAvailableName({}, robot), robot);
  EXPECT_EQ(nextAvailableName({"Robot"}, robot), fs::path("/p/Robot 1.kpr"));
  EXPECT_EQ(nextAvailableName({"Robot", "Robot 1"}, robot), fs::path("/p/Robot 2.kpr"));
  EXPECT_EQ(nextAvailableName({"Robot 3"}, "/p/Robot 3.kpr"), fs::path("/p/Robot 4.kpr"));
  EXPECT_EQ(nextAvailableName({"Project 9"}, "/p/Project 9.kpr"), fs::path("/p/Project 10.kpr"));
  EXPECT_EQ(nextAvailableName({"Box -2"}, "/p/Box -2.kpr"), fs::path("/p/Box -1.kpr"));
  EXPECT_EQ(nextAvailableName({"A B"}, "/p/A:B.kpr"), fs::path("/p/A B 1.kpr"));
  EXPECT_EQ(nextAvailableName({"robot"}, robot), robot) << "names compare case-sensitively";
  EXPECT_EQ(nextAvailableName({"X 9223372036854775807"}, "/p/X 9223372036854775807.kpr"),
            fs::path("/p/X 9223372036854775807 1.kpr"));
  EXPECT_EQ(nextAvailableName({"X 99999999999999999999999"}, "/p/X 99999999999999999999999.kpr"),
            fs::path("/p/X 99999999999999999999999 1.kpr"));
}

TEST(ProjectManifest, KeepsEveryKeyItDoesNotKnow) {
  auto manifest = Project::Manifest::read(R"({"id":"abc","name":"Robot","type":"python","extra":{"list":[1,2.5,null,true]}})");
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->id, "abc");
  EXPECT_EQ(manifest->name, "Robot");
  EXPECT_EQ(manifest->rest, Json::parse(R"({"type":"python","extra":{"list":[1,2.5,null,true]}})"));
  manifest->id = "new";
  EXPECT_EQ(json::parse(*manifest->jsonData()),
            json::parse(R"({"id":"new","name":"Robot","type":"python","extra":{"list":[1,2.5,null,true]}})"));

  EXPECT_TRUE(Project::Manifest::read(R"({"id":"","name":""})"));
  for (const auto* bad : {R"({"id":1,"name":"x"})", R"({"name":"x"})", R"({"id":"x","name":null})", "[1]", "\"s\"", "nope"})
    EXPECT_FALSE(Project::Manifest::read(bad)) << bad;
}

TEST(ProjectPaths, HomeRelativeFormRoundTrips) {
  EXPECT_EQ(Constants::tildePath(home() / "file.ext"), "~/file.ext");
  EXPECT_EQ(Constants::tildePath("/tmp/x"), "/tmp/x");
  EXPECT_EQ(Constants::expandTildePath("~/Documents/a.ext"), home() / "Documents/a.ext");
  EXPECT_EQ(Constants::expandTildePath("/tmp/x"), fs::path("/tmp/x"));
}

}  // namespace
}  // namespace kestrom::test

// Projects through the headless host as the page reaches them: requests over the WebSocket
// channel, project files over HTTP, project files named on the command line, and a restart.

#include <gtest/gtest.h>

#include <zip.h>

#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "KestromKit/base/Base64.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/RawHttp.h"
#include "tests/support/WSTestClient.h"

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

class Page {
 public:
  explicit Page(const HostProcess& host) { EXPECT_TRUE(client_.connect(host.wsPort(), {{"Cookie", host.cookie()}})); }
  /// Sends a request and returns its reply (notifications on the way are kept in `seen`).
  Json call(const std::string& id, const std::string& method, Json values = Json::object()) {
    Json frame = {{"id", id}, {"method", method}, {"params", {{"values", std::move(values)}}}, {"jsonrpc", "2.0"}};
    EXPECT_TRUE(client_.sendText(frame.dump()));
    while (auto text = client_.readText()) {
      auto parsed = Json::parse(*text);
      if (parsed.contains("id") && parsed["id"] == id) return parsed;
      seen.push_back(std::move(parsed));
    }
    ADD_FAILURE() << "no reply to " << method;
    return Json();
  }
  std::vector<Json> seen;

 private:
  WSTestClient client_;
};

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// A project archive written with libzip: manifest and one file, no preview.
std::string projectArchive(const fs::path& where, const std::string& id, const std::string& name) {
  int error = 0;
  zip_t* archive = zip_open(where.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  const std::string manifest = Json{{"id", id}, {"name", name}}.dump();
  const std::string code = "print('" + name + "')";
  zip_file_add(archive, "manifest.json", zip_source_buffer(archive, manifest.data(), manifest.size(), 0), 0);
  zip_file_add(archive, "main.py", zip_source_buffer(archive, code.data(), code.size(), 0), 0);
  zip_close(archive);
  return readAll(where);
}

RawHttpResponse upload(const HostProcess& host, const std::string& id, const std::string& name, const std::string& bytes,
                       const std::optional<std::string>& path = std::nullopt) {
  const std::string boundary = "----IntegrationBoundary";
  std::string body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n" + name + "\r\n";
  if (path) body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"path\"\r\n\r\n" + *path + "\r\n";
  body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"blob\"\r\n" +
          "Content-Type: application/zip\r\n\r\n" + bytes + "\r\n--" + boundary + "--\r\n";
  return rawHttp(static_cast<std::uint16_t>(host.httpPort()),
                 makeHttpRequest("POST", "/projects/" + id,
                                 {{"Content-Type", "multipart/form-data; boundary=" + boundary}, {"Cookie", host.cookie()}},
                                 body));
}

Json hostConfiguration(Page& page, const std::string& id) {
  page.call(id, "/configuration/request");
  for (auto it = page.seen.rbegin(); it != page.seen.rend(); ++it)
    if (it->value("method", "") == "/configuration/changed") return it->at("params").at("configuration").at("host");
  return Json();
}

TEST(ProjectsIntegration, ThePageKeepsItsProjectsAcrossARestart) {
  TemporaryHome home;
  const fs::path documents = home.path / "Documents/Kestrom Projects";
  const fs::path outside = home.path / "Downloads";
  fs::create_directories(outside);
  const auto openedBytes = projectArchive(outside / "Opened.kpr", "opened1", "Opened");
  std::ofstream(outside / "notes.kpr") << "not a project";
  const fs::path index = home.path / ".local/share/Kestrom/kestromavailableProjects.json";
  const fs::path chosen = home.path / "Chosen";
  fs::create_directories(chosen);

  {
    HostProcess host(home.path, HostOptions{.arguments = {(outside / "Opened.kpr").string(), (outside / "notes.kpr").string()}});
    ASSERT_TRUE(host.running()) << host.errorOutput();
    Page page(host);
    EXPECT_EQ(page.call("i1", "/projects/initialprojects")["result"], Json::parse(R"({"projectIds":["opened1"]})"));
    EXPECT_EQ(page.call("i2", "/projects/initialprojects")["result"], Json::parse(R"({"projectIds":[]})"));
    EXPECT_NE(host.errorOutput().find("notes.kpr is not a project"), std::string::npos) << host.errorOutput();
    EXPECT_NE(host.errorOutput().find("missingFileInZip"), std::string::npos);

    // Save a new project, then rename it by saving it under another name.
    const auto bytes = projectArchive(home.path / "scratch.kpr", "new1", "First");
    ASSERT_EQ(upload(host, "new1", "First", bytes).status, 200);
    EXPECT_EQ(readAll(documents / "First.kpr"), bytes);
    ASSERT_EQ(upload(host, "new1", "Second: draft", bytes).status, 200);
    EXPECT_FALSE(fs::exists(documents / "First.kpr"));
    EXPECT_EQ(readAll(documents / "Second  draft.kpr"), bytes);
    EXPECT_EQ(upload(host, "new1", "X", bytes, "/tmp/anywhere.kpr").status, 500) << "not handed out";

    auto whole = rawHttp(static_cast<std::uint16_t>(host.httpPort()), makeHttpRequest("GET", "/projects/new1", {{"Cookie", host.cookie()}}));
    EXPECT_EQ(whole.body, bytes);
    auto icon = rawHttp(static_cast<std::uint16_t>(host.httpPort()), makeHttpRequest("GET", "/projects/new1/icon.svg", {{"Cookie", host.cookie()}}));
    EXPECT_EQ(icon.status, 200);
    EXPECT_EQ(icon.body.size(), 116u);

    auto list = page.call("l1", "/projects/list")["result"]["projects"];
    ASSERT_EQ(list.size(), 2u);
    std::set<std::string> names;
    for (const auto& item : list) names.insert(item["name"].get<std::string>());
    EXPECT_EQ(names, (std::set<std::string>{"Opened", "Second: draft"}));

    EXPECT_EQ(page.call("s1", "/projects/share", {{"projectId", "nope"}})["error"],
              "Unable to share project. Unknown project id nope");
    EXPECT_EQ(page.call("s2", "/projects/share", {{"projectId", "opened1"}})["result"], Json::object());
    EXPECT_EQ(page.call("d1", "/projects/delete", {{"projectId", "nope"}})["result"], Json::object());

    EXPECT_EQ(hostConfiguration(page, "c1")["projectFolderStatus"], "needsMigration");
    // The folder comes from the host's folder dialog (here without asking): only such a folder,
    // or the one in use, may become the project folder.
    Json path = page.call("sf", "device/selectFolder",
                          {{"initialFolder", "home"}, {"initialPath", "Chosen"}, {"interactive", false}})["result"]["path"];
    ASSERT_EQ(path["metadata"], base64Encode(chosen.string()));
    EXPECT_EQ(page.call("f1", "/projects/changeProjectFolder", {{"migrateProjects", true}, {"path", path}})["result"],
              Json::object());
    EXPECT_TRUE(fs::exists(chosen / "Kestrom Projects/Second  draft.kpr"));
    EXPECT_TRUE(fs::exists(outside / "Opened.kpr")) << "a project outside the old folder stays";
    EXPECT_EQ(host.stop(), 0);
  }

  const auto stored = Json::parse(readAll(index));
  ASSERT_TRUE(stored.is_object());
  EXPECT_EQ(stored["new1"]["filePath"], "~/Chosen/Kestrom Projects/Second  draft.kpr");
  EXPECT_EQ(stored["opened1"]["filePath"], "~/Downloads/Opened.kpr");

  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  const auto configuration = hostConfiguration(page, "c2");
  EXPECT_EQ(configuration["projectFolderStatus"], "ok");
  EXPECT_EQ(configuration["projectFolderPath"], "~/Chosen/Kestrom Projects");
  EXPECT_EQ(page.call("l2", "/projects/list")["result"]["projects"].size(), 2u);
  EXPECT_EQ(page.call("d2", "/projects/delete", {{"projectId", "new1"}})["result"], Json::object());
  EXPECT_FALSE(fs::exists(chosen / "Kestrom Projects/Second  draft.kpr"));
  EXPECT_EQ(page.call("l3", "/projects/list")["result"]["projects"].size(), 1u);
  EXPECT_EQ(host.stop(), 0);
}

}  // namespace
}  // namespace kestrom::test

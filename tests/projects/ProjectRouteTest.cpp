// The "/projects/" HTTP route: which request gets which answer.

#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "KestromKit/server/WebServer.h"
#include "tests/support/RawHttp.h"

#include "KestromKit/storage/ProjectRoute.h"
#include "tests/projects/ProjectTestSupport.h"

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

WebServerRequest request(WebServerRequestMethod method, std::vector<std::string> parts) {
  WebServerRequest r;
  r.method = method;
  r.pathParts = std::move(parts);
  for (const auto& part : r.pathParts) r.path += "/" + part;
  return r;
}

struct Field {
  std::string disposition;
  std::string type;
  std::string data;
};

WebServerRequest upload(const std::string& id, const std::string& boundary, const std::vector<Field>& fields,
                        const std::string& contentType = "") {
  auto r = request(WebServerRequestMethod::post, {"projects", id});
  std::string body;
  for (const auto& field : fields) {
    body += "--" + boundary + "\r\nContent-Disposition: " + field.disposition + "\r\n";
    if (!field.type.empty()) body += "Content-Type: " + field.type + "\r\n";
    body += "\r\n" + field.data + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  r.headers["Content-Type"] = contentType.empty() ? "multipart/form-data; boundary=" + boundary : contentType;
  r.body = WebServerBody(body);
  return r;
}

Field zipPart(const std::string& bytes, const std::string& type = "application/zip") {
  return {R"(form-data; name="file"; filename="blob")", type, bytes};
}
Field namePart(const std::string& name) { return {R"(form-data; name="name")", "", name}; }
Field pathPart(const std::string& path) { return {R"(form-data; name="path")", "", path}; }

TEST(ProjectRoute, HandsOutProjectsAndEntries) {
  HandlerFixture f;
  ProjectRouteHandler route(f.handler);
  const auto bytes = projectBytes("a", "A", "code");
  ASSERT_TRUE(f.library->saveProject("a", "A", bytes));

  for (auto method : {WebServerRequestMethod::get, WebServerRequestMethod::post}) {
    auto entry = route.handle(request(method, {"projects", "a", "manifest.json"}));
    ASSERT_EQ(entry.statusCode(), 200);
    EXPECT_EQ(entry.headerValue("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(entry.body())["id"], "a");
  }
  EXPECT_EQ(route.handle(request(WebServerRequestMethod::get, {"projects", "a", "missing.png"})).statusCode(), 404);
  for (auto method : {WebServerRequestMethod::get, WebServerRequestMethod::options, WebServerRequestMethod::unknown}) {
    auto whole = route.handle(request(method, {"projects", "a"}));
    ASSERT_EQ(whole.statusCode(), 200);
    EXPECT_EQ(whole.headerValue("Content-Type"), "application/zip");
    ASSERT_TRUE(whole.file()) << "streamed from the project file";
    EXPECT_EQ(fileText(*whole.file()->file), bytes);
  }
  auto deeper = route.handle(request(WebServerRequestMethod::get, {"projects", "a", "x", "y"}));
  ASSERT_TRUE(deeper.file());
  EXPECT_EQ(fileText(*deeper.file()->file), bytes);
  EXPECT_EQ(route.handle(request(WebServerRequestMethod::get, {"projects", "unknown"})).statusCode(), 404);
  EXPECT_EQ(route.handle(request(WebServerRequestMethod::get, {"projects"})).statusCode(), 404);

  // An entry past the held size is answered from a file, whole.
  std::string large;
  for (std::uint32_t i = 0; large.size() < (3u << 20); ++i) large += std::to_string(i * 2654435761u) + ",";
  ASSERT_TRUE(f.library->saveProject("b", "B", projectBytes("b", "B", large)));
  auto entry = route.handle(request(WebServerRequestMethod::get, {"projects", "b", "main.py"}));
  ASSERT_EQ(entry.statusCode(), 200);
  ASSERT_TRUE(entry.file());
  EXPECT_EQ(entry.bodyLength(), large.size());
  EXPECT_EQ(fileText(*entry.file()->file), large);
}

TEST(ProjectRoute, SavesUploadsAndRefusesWhatItCannotRead) {
  HandlerFixture f;
  ProjectRouteHandler route(f.handler);
  const auto bytes = projectBytes("u", "Upload");
  const std::string boundary = "----WebKitFormBoundary7MA4YWxk";

  auto saved = route.handle(upload("u", boundary, {namePart("Upload"), zipPart(bytes)}));
  ASSERT_EQ(saved.statusCode(), 200);
  EXPECT_TRUE(saved.body().empty());
  EXPECT_EQ(readFile(f.folder / "Upload.kpr"), bytes);

  // The boundary is the last piece after "=", empty pieces dropped.
  auto oddBoundary = upload("v", "----tok", {namePart("V"), zipPart(bytes)}, "multipart/form-data; boundary=----tok=");
  EXPECT_EQ(route.handle(oddBoundary).statusCode(), 200);

  EXPECT_EQ(route.handle(upload("w", "abc", {namePart("W"), zipPart(bytes)})).statusCode(), 500) << "no leading dashes";
  auto noType = upload("w", boundary, {namePart("W"), zipPart(bytes)});
  noType.headers.clear();
  EXPECT_EQ(route.handle(noType).statusCode(), 500);
  EXPECT_EQ(route.handle(upload("w", boundary, {namePart("W"), zipPart(bytes, "application/octet-stream")})).statusCode(), 500);
  EXPECT_EQ(route.handle(upload("w", boundary, {zipPart(bytes)})).statusCode(), 500);
  EXPECT_EQ(route.handle(upload("w", boundary, {namePart("bad\xff"), zipPart(bytes)})).statusCode(), 500);
  auto broken = upload("w", boundary, {namePart("W"), zipPart(bytes)});
  broken.body = WebServerBody("not multipart at all");
  EXPECT_EQ(route.handle(broken).statusCode(), 500);
  EXPECT_FALSE(fs::exists(f.folder / "W.kpr"));

  // Save-as: only onto a path the host handed out or an indexed project's file.
  const auto other = (f.folder / "Upload.kpr").string();
  auto over = route.handle(upload("v", boundary, {namePart("V"), pathPart(other), zipPart(bytes)}));
  ASSERT_EQ(over.statusCode(), 200);
  EXPECT_EQ(json::parse(over.body()), json::parse(R"({"deletedProjectId":"u"})"));
  const auto stray = (f.root / "stray.kpr").string();
  EXPECT_EQ(route.handle(upload("v", boundary, {namePart("V"), pathPart(stray), zipPart(bytes)})).statusCode(), 500);
  EXPECT_EQ(route.handle(upload("v", boundary, {namePart("V"), pathPart("/etc/passwd"), zipPart(bytes)})).statusCode(), 500);
  EXPECT_FALSE(fs::exists(stray));
  f.library->allowSaveAsPath(stray);
  auto allowed = route.handle(upload("v", boundary, {namePart("V"), pathPart(stray), zipPart(bytes)}));
  EXPECT_EQ(allowed.statusCode(), 200);
  EXPECT_TRUE(allowed.body().empty());
  EXPECT_TRUE(unzipTestPasses(stray));
}

TEST(ProjectRoute, RefusesASaveWhoseEntriesCouldNotBeReadBackAndKeepsTheProject) {
  HandlerFixture f;
  ProjectRouteHandler route(f.handler);
  const std::string boundary = "----WebKitFormBoundary7MA4YWxk";
  ASSERT_TRUE(f.library->saveProject("a", "A", projectBytes("a", "A", "old")));
  const auto file = f.fileOf("a");
  const auto kept = readFile(file);
  const auto index = f.indexJSON();
  f.library->allowSaveAsPath(f.folder / "Other.kpr");

  // An entry that inflates past the largest the host answers: 413, for a save in place, under a
  // new name, or at a chosen path; bytes that are no ZIP archive: 400.
  const auto tooLarge = projectWithZeros("a", {{"big.bin", ProjectLibrary::kMaxEntryBytes + 1}});
  for (const auto& [bytes, status] : {std::pair{tooLarge, 413}, std::pair{std::string("PK not a zip"), 400}}) {
    EXPECT_EQ(route.handle(upload("a", boundary, {namePart("A"), zipPart(bytes)})).statusCode(), status);
    EXPECT_EQ(route.handle(upload("a", boundary, {namePart("B"), zipPart(bytes)})).statusCode(), status);
    auto other = upload("a", boundary, {namePart("A"), pathPart((f.folder / "Other.kpr").string()), zipPart(bytes)});
    EXPECT_EQ(route.handle(other).statusCode(), status);
  }
  EXPECT_EQ(readFile(file), kept);
  EXPECT_EQ(f.indexJSON(), index);
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(f.folder)) names.push_back(item.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"A.kpr"}) << "nothing new, nothing left behind";

  // Such an entry in a file from elsewhere is there, only not answered: never 404.
  writeFile(file, tooLarge);
  EXPECT_EQ(route.handle(request(WebServerRequestMethod::get, {"projects", "a", "big.bin"})).statusCode(), 500);
  EXPECT_EQ(route.handle(request(WebServerRequestMethod::get, {"projects", "a", "none.bin"})).statusCode(), 404);
}

}  // namespace
}  // namespace kestrom::test

namespace kestrom::test {
namespace {

/// A server running the project route on a loopback port, with nothing else behind it.
struct ProjectServer {
  explicit ProjectServer(std::shared_ptr<ProjectsHandler> handler) {
    WebServerServices services;
    services.projects = std::make_shared<ProjectRouteHandler>(std::move(handler));
    services.temporaryFolder = scratch.path();
    server = std::make_unique<WebServer>(std::move(services), false);
    server->start(0);
    for (int i = 0; i < 5000 && !server->port(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    port = static_cast<std::uint16_t>(server->port().value_or(0));
  }
  ~ProjectServer() { server->stop(); }
  TempFolder scratch;
  std::unique_ptr<WebServer> server;
  std::uint16_t port = 0;
};

std::string multipartBody(const std::string& boundary, const std::string& name, const std::string& bytes) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n" + name + "\r\n--" + boundary +
         "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"blob\"\r\nContent-Type: application/zip\r\n\r\n" +
         bytes + "\r\n--" + boundary + "--\r\n";
}

/// The status of the answer to a GET of `target`, and how many body bytes came before the
/// server closed (read a little at a time, kept nowhere).
std::pair<int, std::uint64_t> statusAndLength(std::uint16_t port, const std::string& target) {
  RawHttpConnection connection(port);
  connection.send(makeHttpRequest("GET", target));
  std::string head;
  std::uint64_t received = 0;
  for (std::string chunk; !(chunk = connection.readSome(64 << 10, std::chrono::seconds(30))).empty();) {
    if (head.find("\r\n\r\n") == std::string::npos) head += chunk;
    received += chunk.size();
  }
  const auto end = head.find("\r\n\r\n");
  return {parseRawHttpResponse(head).status, end == std::string::npos ? 0 : received - end - 4};
}

TEST(ProjectRouteOverHTTP, AnEntryReadWholeGivesItsShareOfTheSpoolBudgetBack) {
  HandlerFixture f;
  constexpr std::uint64_t kBig = 200ull << 20, kNext = 100ull << 20;
  static_assert(kBig <= EntrySpool::kBudgetBytes && kBig + kNext > EntrySpool::kBudgetBytes);
  writeFile(f.folder / "Z.kpr", projectWithZeros("z", {{"big.bin", kBig}, {"next.bin", kNext}}));
  ASSERT_TRUE(f.library->openProjectURL(f.folder / "Z.kpr"));
  ProjectServer server(f.handler);
  ASSERT_NE(server.port, 0);
  // The server closes once the answer is written; the next request comes only then.
  EXPECT_EQ(statusAndLength(server.port, "/projects/z/big.bin"), std::pair(200, kBig));
  EXPECT_EQ(statusAndLength(server.port, "/projects/z/next.bin"), std::pair(200, kNext));
}

TEST(ProjectRouteOverHTTP, LargeConcurrentUploadsArriveWholeAndComeBack) {
  HandlerFixture f;
  ProjectServer server(f.handler);
  ASSERT_NE(server.port, 0);
  const std::string boundary = "----KestromBoundary42";
  // Larger than the server keeps in memory: the upload is spooled to a file and parsed in place.
  std::string big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);

  std::vector<std::thread> threads;
  std::vector<RawHttpResponse> answers(4);
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      const std::string id = "h" + std::to_string(i);
      const auto body = multipartBody(boundary, "Same Name", projectBytes(id, "Same Name", big + id));
      answers[i] = rawHttp(server.port, makeHttpRequest("POST", "/projects/" + id,
                                                        {{"Content-Type", "multipart/form-data; boundary=" + boundary}}, body),
                           std::chrono::seconds(60));
    });
  for (auto& t : threads) t.join();
  std::set<fs::path> files;
  for (int i = 0; i < 4; ++i) {
    const std::string id = "h" + std::to_string(i);
    ASSERT_EQ(answers[i].status, 200) << answers[i].statusLine;
    files.insert(f.fileOf(id));
    EXPECT_TRUE(unzipTestPasses(f.fileOf(id)));
    auto back = rawHttp(server.port, makeHttpRequest("GET", "/projects/" + id + "/main.py"), std::chrono::seconds(60));
    ASSERT_EQ(back.status, 200);
    EXPECT_EQ(back.body, big + id);
  }
  EXPECT_EQ(files.size(), 4u);
  EXPECT_EQ(rawHttp(server.port, makeHttpRequest("GET", "/projects/nobody")).status, 404);
}

}  // namespace
}  // namespace kestrom::test

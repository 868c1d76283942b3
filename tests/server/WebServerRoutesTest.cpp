// The router and its own endpoints over real loopback sockets.

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "KestromKit/server/ContentTypes.h"
#include "KestromKit/server/WebServerFileDelegate.h"
#include "KestromKit/server/WebServerRoutes.h"
#include "KestromKit/model/Coding.h"
#include "platform/dispatch/ManualQueue.h"
#include "tests/server/ServerTestDoubles.h"
#include "tests/server/WebServerHarness.h"

namespace kestrom {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::makeHttpRequest;
using test::rawHttp;
using test::RawHttpResponse;
using test::WebServerHarness;

struct Part {
  std::string name;
  std::string data;
  std::string extraDisposition;
};

std::string multipartBody(const std::string& boundary, const std::vector<Part>& parts) {
  std::string body;
  for (const auto& part : parts) {
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"" + part.name + "\"" + part.extraDisposition + "\r\n\r\n";
    body += part.data + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  return body;
}

std::string multipartRequest(const std::string& target, const std::vector<Part>& parts,
                             const std::string& boundary = "----KestromBoundary7") {
  return makeHttpRequest("POST", target, {{"Content-Type", "multipart/form-data; boundary=" + boundary}},
                         multipartBody(boundary, parts));
}

struct StartedHarness : WebServerHarness {
  explicit StartedHarness(const Customize& customize = {}, WebServerLimits limits = {})
      : WebServerHarness(limits, customize) {
    startAndWait();
  }
};

TEST(WebServerRoutesTest, TraversalAndDeviceTargetsAreNotFoundAtOnce) {
  StartedHarness h;
  WebServerHarness::write(h.root / "secret.txt", "secret");
  const std::string targets[] = {
      "/etc/passwd",
      "/%2e%2e/%2e%2e/etc/passwd",
      "/%2e%2e/secret.txt",
      "/content/%2e%2e/secret.txt",
      "/content/..%2fsecret.txt",
      "/dev/zero",
      "/dev/urandom",
      "/proc/self/environ",
      "/content/%2e%2e/%2e%2e/%2e%2e/%2e%2e/dev/zero.mp4",
      "/subtitles?u=/etc/passwd",
      "/subtitles?u=/dev/zero",
      "/" + (h.root / "secret.txt").string(),
  };
  for (const auto& target : targets) {
    SCOPED_TRACE(target);
    auto start = std::chrono::steady_clock::now();
    auto r = rawHttp(h.port, makeHttpRequest("GET", target), 3s);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 404 NOT FOUND");
    EXPECT_EQ(r.body, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  }
}

TEST(WebServerRoutesTest, SentryEnabledSwitchRoundTrip) {
  StartedHarness h;
  auto post = [&](const std::string& body) {
    return rawHttp(h.port, makeHttpRequest("POST", "/v1/sentryEnabled", {{"Content-Type", "application/json"}}, body));
  };
  auto r = post(R"({"enabled": true, "other": 1})");
  EXPECT_EQ(test::withoutDate(r.raw), "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(h.defaults->boolValue("KestromKit.sentryEnabled"), true);

  EXPECT_EQ(post(R"({"enabled": false})").status, 200);
  EXPECT_EQ(h.defaults->boolValue("KestromKit.sentryEnabled"), false);

  for (const char* bad : {R"({"enabled": "true"})", "{}", R"({"Enabled": true})", R"({"enabled": null})", "not json", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(post(bad).statusLine, "HTTP/1.1 400 BAD REQUEST");
    EXPECT_EQ(h.defaults->boolValue("KestromKit.sentryEnabled"), false);
  }
  // A switch that did not stick is not reported as done.
  h.defaults->failNextWrite();
  EXPECT_EQ(post(R"({"enabled": true})").status, 500);
  EXPECT_EQ(h.defaults->boolValue("KestromKit.sentryEnabled"), false);
  // Only POST: a GET falls through to the static files.
  EXPECT_EQ(h.get("/v1/sentryEnabled").status, 404);
}

TEST(WebServerRoutesTest, DebugRedirectsToTheBootURLForAnyMethod) {
  StartedHarness h;
  for (const char* method : {"GET", "POST", "OPTIONS"}) {
    SCOPED_TRACE(method);
    auto r = rawHttp(h.port, makeHttpRequest(method, "/debug"));
    EXPECT_EQ(r.statusLine, "HTTP/1.1 307 Temporary Redirect");
    ASSERT_EQ(r.headers.size(), 5u);
    EXPECT_EQ(r.headers[0].first, "Access-Control-Allow-Origin");
    EXPECT_EQ(r.headers[1].first, "Date");
    EXPECT_EQ(r.headers[2], (std::pair<std::string, std::string>{"Location", StartedHarness::kDebugRedirectURL}));
    EXPECT_EQ(r.headers[3], (std::pair<std::string, std::string>{"Content-Length", "0"}));
    EXPECT_EQ(r.headers[4], (std::pair<std::string, std::string>{"Connection", "close"}));
  }
}

class RecordingProjectRequestHandler final : public ProjectRequestHandler {
 public:
  WebServerResponse handle(const WebServerRequest& request) override {
    std::lock_guard lock(mutex_);
    seen.push_back(std::string(rawValue(request.method)) + " " + request.path);
    return WebServerResponse::ok({{"X-Project", "yes"}});
  }
  std::mutex mutex_;
  std::vector<std::string> seen;
};

TEST(WebServerRoutesTest, ProjectRoutesNeedTwoPathParts) {
  auto projects = std::make_shared<RecordingProjectRequestHandler>();
  StartedHarness h([&](WebServerServices& s) { s.projects = projects; });
  EXPECT_EQ(h.get("/projects/abc").header("X-Project"), "yes");
  EXPECT_EQ(rawHttp(h.port, makeHttpRequest("POST", "/projects/abc/file", {}, "x")).status, 200);
  EXPECT_EQ(rawHttp(h.port, makeHttpRequest("OPTIONS", "/projects/abc")).status, 200);
  EXPECT_EQ(h.get("/projects/").status, 404);  // one part: the static files answer
  EXPECT_EQ(projects->seen, (std::vector<std::string>{"GET /projects/abc", "POST /projects/abc/file", "OPTIONS /projects/abc"}));

  StartedHarness none([](WebServerServices& s) { s.projects = std::make_shared<test::NotFoundProjectRequestHandler>(); });
  EXPECT_EQ(none.get("/projects/abc").status, 404);
}

TEST(WebServerRoutesTest, UploadLandsWholeByRenameOrNotAtAll) {
  StartedHarness h;
  const fs::path target = h.content / "a" / "b.zip";
  auto r = rawHttp(h.port, multipartRequest("/content/tmp/a/b.zip", {{"other", "x"}, {"file", std::string("PK\0\x01zip", 6), "; filename=\"b.zip\""}}));
  EXPECT_EQ(test::withoutDate(r.raw), "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(WebServerHarness::read(target), std::string("PK\0\x01zip", 6));

  struct Case {
    const char* what;
    std::string request;
  };
  const std::string good = multipartBody("----B", {{"file", "new"}});
  const Case failures[] = {
      {"boundary without leading dashes",
       makeHttpRequest("POST", "/content/tmp/a/b.zip", {{"Content-Type", "multipart/form-data; boundary=B"}}, good)},
      {"no Content-Type", makeHttpRequest("POST", "/content/tmp/a/b.zip", {}, good)},
      {"malformed body",
       makeHttpRequest("POST", "/content/tmp/a/b.zip", {{"Content-Type", "multipart/form-data; boundary=----B"}}, "garbage")},
      {"no file part", multipartRequest("/content/tmp/a/b.zip", {{"name", "x"}})},
      {"too few parts", multipartRequest("/content/tmp/", {{"file", "new"}})},
      {"traversal", multipartRequest("/content/tmp/%2e%2e/escaped.zip", {{"file", "new"}})},
  };
  for (const auto& c : failures) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(rawHttp(h.port, c.request).statusLine, "HTTP/1.1 500 INTERNAL SERVER ERROR");
    EXPECT_EQ(WebServerHarness::read(target), std::string("PK\0\x01zip", 6));  // the old file stays
  }
  EXPECT_FALSE(fs::exists(h.root / "escaped.zip"));
  // A name that merely begins with "file" counts, as it always has.
  EXPECT_EQ(rawHttp(h.port, multipartRequest("/content/tmp/a/b.zip", {{"fileData", "prefix"}})).status, 200);
  EXPECT_EQ(WebServerHarness::read(target), "prefix");
  // Not a POST: the static files answer (from the content folder's own "tmp").
  WebServerHarness::write(h.content / "tmp/a/b.zip", "static");
  EXPECT_EQ(h.get("/content/tmp/a/b.zip").body, "static");
}

TEST(WebServerRoutesTest, LargeUploadsAreSpooledAndLanded) {
  WebServerLimits limits;
  limits.memoryBodyBytes = 4096;
  StartedHarness h({}, limits);
  std::string data(2 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  EXPECT_EQ(rawHttp(h.port, multipartRequest("/content/tmp/big/video.bin", {{"file", data}})).status, 200);
  EXPECT_EQ(WebServerHarness::read(h.content / "big/video.bin"), data);
}

TEST(WebServerRoutesTest, RulesAreTriedInOrder) {
  StartedHarness h;
  WebServerHarness::write(h.content / "en-US/manifest.json", R"({"id":"m","units":[]})");
  WebServerHarness::write(h.content / "a/b/manifest.json", "static");
  WebServerHarness::write(h.content / "movie.mp4", std::string(1000, 'v'));
  WebServerHarness::write(h.content / "movie.MP4", "upper");
  WebServerHarness::write(h.webroot / "index.html", "<html>");

  EXPECT_EQ(h.get("/").body, "<html>");
  EXPECT_EQ(h.get("/content/a/b/manifest.json").body, "static");
  auto range = h.get("/content/movie.mp4", {{"Range", "bytes=0-1"}});
  EXPECT_EQ(range.status, 206);
  EXPECT_EQ(range.header("Content-Range"), "bytes 0-1/1000");
  EXPECT_EQ(range.body, "vv");
  EXPECT_EQ(h.get("/content/movie.MP4", {{"Range", "bytes=0-1"}}).body, "upper");  // not the range rule
  EXPECT_EQ(h.get("/subtitles").status, 404);
  EXPECT_EQ(h.get("/files/saveAs").status, 404);  // GET: static files
  EXPECT_EQ(rawHttp(h.port, makeHttpRequest("POST", "/files/load")).status, 404);
  EXPECT_EQ(rawHttp(h.port, makeHttpRequest("OPTIONS", "/index.html")).body, "<html>");
}

// Answers the dialogs from the main queue, as the web view controller does.
class ScriptedFileDelegate final : public WebServerFileDelegate {
 public:
  enum class Mode { succeed, fail, drop };
  Mode mode = Mode::succeed;
  OpenedFile opened{"/home/user/Projects/robot.kpr", "{\"x\": \"ü\"}"};
  std::vector<std::string> fileTypes;
  fs::path savedPath;
  std::string savedContent;

  void openFileForWebServer(std::vector<std::string> types,
                            std::function<void(Expected<OpenedFile, LoadError>)> completion) override {
    dispatch::mainQueue()->async([this, types, completion]() mutable {
      fileTypes = types;
      if (mode == Mode::succeed) completion(opened);
      if (mode == Mode::fail) completion(makeUnexpected(LoadError::userCancelled));
    });
  }
  void saveFileForWebServer(fs::path source, std::function<void(Expected<void, SaveError>)> completion) override {
    dispatch::mainQueue()->async([this, source, completion]() mutable {
      savedPath = source;
      savedContent = WebServerHarness::read(source);
      if (mode == Mode::succeed) completion({});
      if (mode == Mode::fail) completion(makeUnexpected(SaveError::userCancelled));
    });
  }
};

class WebServerFileRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousMain_ = dispatch::mainQueue();
    main_ = std::make_shared<dispatch::ManualQueue>("main");
    dispatch::installMainQueue(main_);
    files_ = std::make_shared<ScriptedFileDelegate>();
    h_ = std::make_unique<StartedHarness>([this](WebServerServices& s) { s.files = files_; });
  }
  void TearDown() override {
    h_.reset();
    dispatch::installMainQueue(previousMain_);
  }

  /// Sends from a client thread while this thread runs the main queue, as the app's main loop would.
  RawHttpResponse exchange(const std::string& bytes) {
    auto answer = std::async(std::launch::async, [&] { return rawHttp(h_->port, bytes); });
    EXPECT_TRUE(main_->runUntil([&] { return answer.wait_for(0s) == std::future_status::ready; }, 10s));
    return answer.get();
  }

  std::shared_ptr<dispatch::Queue> previousMain_;
  std::shared_ptr<dispatch::ManualQueue> main_;
  std::shared_ptr<ScriptedFileDelegate> files_;
  std::unique_ptr<StartedHarness> h_;
};

TEST_F(WebServerFileRoutesTest, SaveAsHandsTheTemporaryFileToTheDialog) {
  auto r = exchange(multipartRequest("/files/saveAs", {{"name", "robot.kpr"}, {"file", "project bytes"}}));
  EXPECT_EQ(test::withoutDate(r.raw), "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(files_->savedPath.filename(), "robot.kpr");
  EXPECT_EQ(files_->savedPath.parent_path().parent_path(), h_->tmp);
  EXPECT_EQ(files_->savedContent, "project bytes");
  // The copy goes once the dialog is done, whatever its outcome.
  EXPECT_TRUE(fs::is_empty(h_->tmp));

  files_->mode = ScriptedFileDelegate::Mode::fail;
  EXPECT_EQ(exchange(multipartRequest("/files/saveAs", {{"name", "robot.kpr"}, {"file", "x"}})).status, 500);
  EXPECT_TRUE(fs::is_empty(h_->tmp));
  files_->mode = ScriptedFileDelegate::Mode::drop;  // a completion that is never called
  EXPECT_EQ(exchange(multipartRequest("/files/saveAs", {{"name", "robot.kpr"}, {"file", "x"}})).status, 500);
  main_->runUntil([&] { return fs::is_empty(h_->tmp); }, 5s);
  EXPECT_TRUE(fs::is_empty(h_->tmp));
}

TEST_F(WebServerFileRoutesTest, SaveAsRefusesNamesThatAreNotOneUtf8FileName) {
  files_->savedPath.clear();
  const std::string names[] = {"../escape.kpr", "a/b.kpr", "..", "", std::string("\xff\xfe.kpr")};
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(exchange(multipartRequest("/files/saveAs", {{"name", name}, {"file", "x"}})).status, 500);
  }
  EXPECT_EQ(exchange(multipartRequest("/files/saveAs", {{"file", "x"}})).status, 500);
  EXPECT_EQ(exchange(multipartRequest("/files/saveAs", {{"name", "a.kpr"}})).status, 500);
  EXPECT_TRUE(files_->savedPath.empty());
  EXPECT_FALSE(fs::exists(h_->root / "escape.kpr"));
  EXPECT_TRUE(fs::is_empty(h_->tmp));
}

TEST_F(WebServerFileRoutesTest, LoadAnswersTheChosenFileAsJson) {
  auto r = exchange(makeHttpRequest("GET", "/files/load?types=.kpr,.sb3"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(files_->fileTypes, (std::vector<std::string>{".kpr", ".sb3"}));
  EXPECT_EQ(r.header("Content-Type"), contentTypeForFileName("/home/user/Projects/robot.kpr"));
  auto json = parseJson(r.body);
  ASSERT_TRUE(json);
  EXPECT_EQ(*json, Json::parse(R"({"file": "/home/user/Projects/robot.kpr", "content": "{\"x\": \"ü\"}"})"));

  files_->mode = ScriptedFileDelegate::Mode::fail;
  EXPECT_EQ(exchange(makeHttpRequest("GET", "/files/load?types=.kpr")).status, 500);
  files_->mode = ScriptedFileDelegate::Mode::drop;
  EXPECT_EQ(exchange(makeHttpRequest("GET", "/files/load?types=.kpr")).status, 500);
}

TEST_F(WebServerFileRoutesTest, LoadWithoutOneKeyValueQueryIsNotFound) {
  for (const char* target : {"/files/load", "/files/load?", "/files/load?a=b=c", "/files/load?types", "/files/load?=x"}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(exchange(makeHttpRequest("GET", target)).status, 404);
  }
}

TEST(WebServerFileRoutesWithoutWindowTest, FailAtOnce) {
  StartedHarness h([](WebServerServices& s) { s.files = std::make_shared<test::FailingWebServerFileDelegate>(); });
  EXPECT_EQ(h.get("/files/load?types=.kpr").status, 500);
  EXPECT_EQ(rawHttp(h.port, multipartRequest("/files/saveAs", {{"name", "a.kpr"}, {"file", "x"}})).status, 500);
}

TEST(WebServerFileRoutesWithoutWindowTest, NeverWaitsOnTheMainQueueFromTheMainQueue) {
  auto previous = dispatch::mainQueue();
  auto main = std::make_shared<dispatch::ManualQueue>("main");
  dispatch::installMainQueue(main);
  auto files = std::make_shared<ScriptedFileDelegate>();
  {
    WebServerServices services;
    services.files = files;
    WebServerRoutes routes(services, std::chrono::minutes(30));
    WebServerRequest request;
    request.method = WebServerRequestMethod::get;
    request.path = "/files/load";
    request.urlComponents.percentEncodedQuery = "types=.kpr";
    std::optional<WebServerResponse> answer;
    main->async([&] { answer = routes.route(request); });
    main->runPending();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->kind(), WebServerResponse::Kind::serverError);
  }
  dispatch::installMainQueue(previous);
}

}  // namespace
}  // namespace kestrom

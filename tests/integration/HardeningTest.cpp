// The headless host against careless and hostile clients: bounded settings that never stick in a
// failed state, descriptor limits, strict request heads, clean logs, clamped firmware windows,
// temporary copies that go, and project folders the page cannot make up.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestromKit/base/Base64.h"
#include "platform/tcp/DescriptorLimit.h"
#include "tests/integration/HostPage.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/RawHttp.h"
#include "tests/support/WSTestClient.h"

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

class HardeningTest : public ::testing::Test {
 protected:
  TemporaryHome home;

  fs::path settingsFile() const {
    for (const auto& entry : fs::recursive_directory_iterator(home.path))
      if (entry.path().filename().string().ends_with("userSettings.json")) return entry.path();
    return {};
  }

  static Json save(Page& page, const std::string& id, const std::string& key, Json value) {
    page.request(id, "/settings/save", {{"settings", {{key, {{"value", std::move(value)}}}}}});
    auto reply = page.replyTo(id);
    return reply ? *reply : Json();
  }

  /// The user settings as "/configuration/changed" reports them.
  static Json userSettings(Page& page, const std::string& id) {
    page.request(id, "/configuration/request");
    Json settings;
    while (auto frame = page.next()) {
      if (frame->value("method", "") == "/configuration/changed")
        settings = frame->at("params").at("configuration").at("userSettings");
      if (frame->contains("id") && frame->at("id") == id) break;
    }
    return settings;
  }
};

TEST_F(HardeningTest, SettingsPastTheirBoundsAreRefusedAndChangeNothing) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  ASSERT_TRUE(page.connected());

  EXPECT_EQ(save(page, "1", "small", "kept").at("result"), Json::object());
  const std::string before = [&] {
    std::ifstream in(settingsFile(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();

  // One value over 1 MiB.
  auto refused = save(page, "2", "huge", std::string(std::size_t{1} << 21, 'x'));
  ASSERT_TRUE(refused.contains("error")) << refused.dump().substr(0, 200);
  EXPECT_EQ(refused.at("error").get<std::string>().rfind("Unable to save settings: ", 0), 0u);

  // The whole store over 16 MiB: sixteen values just under 1 MiB fit, the seventeenth does not.
  const std::string almostMiB(1000 * 1000, 'y');
  for (int i = 0; i < 16; ++i)
    ASSERT_EQ(save(page, "f" + std::to_string(i), "fill" + std::to_string(i), almostMiB).at("result"), Json::object());
  auto full = save(page, "3", "one-too-many", almostMiB);
  ASSERT_TRUE(full.contains("error"));
  EXPECT_EQ(full.at("error").get<std::string>().rfind("Unable to save settings: ", 0), 0u);

  auto settings = userSettings(page, "4");
  EXPECT_FALSE(settings.contains("huge"));
  EXPECT_FALSE(settings.contains("one-too-many"));
  EXPECT_EQ(settings.at("small"), Json::parse(R"({"value":"kept"})"));
  EXPECT_LT(fs::file_size(settingsFile()), std::uintmax_t{16} << 20);
  EXPECT_NE(before.size(), 0u);
}

TEST_F(HardeningTest, ASaveTheDiskRefusedLeavesMemoryAsTheFileHasIt) {
  // Files may not grow past 1.5 MB: the second large save cannot be written.
  HostOptions options;
  options.fileSizeLimit = 1500 * 1000;
  {
    HostProcess host(home.path, options);
    ASSERT_TRUE(host.running()) << host.errorOutput();
    Page page(host);
    ASSERT_TRUE(page.connected());
    const std::string large(800 * 1000, 'a');
    EXPECT_EQ(save(page, "1", "first", large).at("result"), Json::object());
    auto failed = save(page, "2", "second", large);
    ASSERT_TRUE(failed.contains("error")) << failed.dump().substr(0, 200);
    EXPECT_EQ(failed.at("error").get<std::string>().rfind("Unable to save settings: ", 0), 0u);
    // It would fit without the failed value: it must not be carried along.
    EXPECT_EQ(save(page, "3", "third", "small").at("result"), Json::object());
    auto settings = userSettings(page, "4");
    EXPECT_TRUE(settings.contains("first"));
    EXPECT_FALSE(settings.contains("second"));
    EXPECT_EQ(settings.at("third"), Json::parse(R"({"value":"small"})"));
    EXPECT_EQ(host.stop(), 0);
  }
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  auto settings = userSettings(page, "5");
  EXPECT_TRUE(settings.contains("first"));
  EXPECT_FALSE(settings.contains("second"));
  EXPECT_TRUE(settings.contains("third"));
}

TEST_F(HardeningTest, ManyIdleConnectionsNeitherExhaustDescriptorsNorBreakOtherRequests) {
  // An inherited soft limit of 200 would run out long before 256 connections: the host raises it.
  // This test's own clients need several descriptors each, more than a soft limit of 1024 allows,
  // so it raises its own limit the same way.
  ASSERT_GE(tcp::raiseDescriptorLimit(), 1536u) << "the hard limit of open files is too low for this test";
  HostOptions options;
  options.descriptorLimit = {200, 4096};
  HostProcess host(home.path, options);
  ASSERT_TRUE(host.running()) << host.errorOutput();

  std::vector<std::unique_ptr<WSTestClient>> idle;
  for (int i = 0; i < 256; ++i) {
    auto client = std::make_unique<WSTestClient>(10s);
    ASSERT_TRUE(client->connect(host.wsPort(), {{"Cookie", host.cookie()}})) << "connection " << i;
    idle.push_back(std::move(client));
  }
  auto refused = rawExchange(host.wsPort(), upgradeRequest("127.0.0.1:" + std::to_string(host.wsPort()), std::nullopt, host.cookie()));
  EXPECT_EQ(refused.rfind("HTTP/1.1 503", 0), 0u) << refused;

  auto port = static_cast<std::uint16_t>(host.httpPort());
  auto page = rawHttp(port, makeHttpRequest("GET", "/index.html", {{"Cookie", host.cookie()}}));
  EXPECT_EQ(page.status, 200);

  idle.pop_back();  // room for the page
  Page own(host);
  ASSERT_TRUE(own.connected());
  EXPECT_EQ(save(own, "1", "still", "works").at("result"), Json::object());
}

TEST_F(HardeningTest, RequestHeadsAreReadStrictlyAndHonestly) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  auto port = static_cast<std::uint16_t>(host.httpPort());
  const std::string own = "localhost:" + std::to_string(port);
  const std::string cookie = "Cookie: " + host.cookie() + "\r\n";

  // A second Host, Origin or Content-Length, in any letter case, is refused.
  EXPECT_EQ(rawHttp(port, "GET /index.html HTTP/1.1\r\nHost: evil.example\r\nHost: " + own + "\r\n\r\n").status, 400);
  EXPECT_EQ(rawHttp(port, "GET /index.html HTTP/1.1\r\nHost: " + own + "\r\nhost: " + own + "\r\n\r\n").status, 400);
  EXPECT_EQ(rawHttp(port, "GET /index.html HTTP/1.1\r\nOrigin: http://" + own + "\r\nOrigin: http://evil.example\r\n\r\n").status,
            400);
  EXPECT_EQ(rawHttp(port, "POST /v1/sentryEnabled HTTP/1.1\r\nContent-Length: 17\r\ncontent-length: 3\r\n\r\n"
                          "{\"enabled\":false}").status,
            400);

  // "content-length" in lower case, the body in a later segment.
  {
    RawHttpConnection connection(port);
    ASSERT_TRUE(connection.send("POST /v1/sentryEnabled HTTP/1.1\r\nhost: " + own + "\r\n" + cookie + "content-length: 17\r\n\r\n"));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(connection.send("{\"enabled\":false}"));
    EXPECT_EQ(connection.readResponse().status, 200);
  }
  // "Expect: 100-continue" is answered before the body is sent.
  {
    RawHttpConnection connection(port);
    ASSERT_TRUE(connection.send("POST /v1/sentryEnabled HTTP/1.1\r\nHost: " + own + "\r\n" + cookie +
                                "Content-Length: 16\r\nExpect: 100-continue\r\n\r\n"));
    EXPECT_EQ(connection.readSome(25, 5s), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(connection.send("{\"enabled\":true}"));
    EXPECT_EQ(connection.readResponse().status, 200);
  }
}

TEST_F(HardeningTest, RequestTextCannotWriteLogLinesOfItsOwn) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  auto port = static_cast<std::uint16_t>(host.httpPort());
  EXPECT_EQ(rawHttp(port, "BAD\rFORGED-HTTP-LINE\r\n\r\n").status, 400);
  Page page(host);
  ASSERT_TRUE(page.connected());
  page.request("x", "/nope\nFORGED-WS-LINE");
  page.request("ok", "/ping");
  ASSERT_TRUE(page.replyTo("ok"));
  EXPECT_EQ(host.stop(), 0);

  const auto log = host.errorOutput();
  EXPECT_NE(log.find("BAD\\rFORGED-HTTP-LINE"), std::string::npos) << log;
  EXPECT_NE(log.find("/nope\\nFORGED-WS-LINE"), std::string::npos) << log;
  EXPECT_EQ(log.find("\nFORGED"), std::string::npos);
  EXPECT_EQ(log.find("\rFORGED"), std::string::npos);
}

TEST_F(HardeningTest, FirmwareUpdateDurationsAreClamped) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  ASSERT_TRUE(page.connected());
  page.request("1", "/hub/updatingFirmware", {{"expectedDuration", 1e308}});
  EXPECT_EQ(page.replyTo("1")->at("result"), Json::object());
  page.request("2", "/hub/updatingFirmware", {{"expectedDuration", -5}});
  EXPECT_EQ(page.replyTo("2")->at("result"), Json::object());
  EXPECT_EQ(host.stop(), 0);
  const auto log = host.errorOutput();
  EXPECT_NE(log.find("Firmware update duration 1e+308 is above one hour; clamped to 3600 s"), std::string::npos) << log;
  EXPECT_NE(log.find("Firmware update duration -5 is negative; clamped to 0 s"), std::string::npos) << log;
}

TEST_F(HardeningTest, TheSaveAsCopyGoesWhenTheDialogIsDone) {
  const fs::path tmp = home.path / "tmp";
  fs::create_directories(tmp);
  HostOptions options;
  options.environment = {{"TMPDIR", tmp.string()}};
  HostProcess host(home.path, options);
  ASSERT_TRUE(host.running()) << host.errorOutput();

  const std::string boundary = "--kestrom-boundary";
  std::string body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nrobot.kpr\r\n--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"robot.kpr\"\r\n\r\nproject bytes\r\n--" +
                     boundary + "--\r\n";
  auto answer = rawHttp(static_cast<std::uint16_t>(host.httpPort()),
                        makeHttpRequest("POST", "/files/saveAs",
                                        {{"Content-Type", "multipart/form-data; boundary=" + boundary},
                                         {"Cookie", host.cookie()}},
                                        body));
  EXPECT_EQ(answer.status, 500);  // the headless host cancels every dialog

  std::vector<fs::path> left;
  for (const auto& entry : fs::recursive_directory_iterator(tmp))
    if (entry.path().filename() == "robot.kpr" || entry.path().filename().string().starts_with("saveAs-"))
      left.push_back(entry.path());
  EXPECT_TRUE(left.empty()) << left.front();
}

TEST_F(HardeningTest, OnlyFoldersTheHostHandedOutBecomeTheProjectFolder) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  ASSERT_TRUE(page.connected());

  // A bookmark the page made up: base64 of a folder that exists.
  const fs::path elsewhere = home.path / "elsewhere";
  fs::create_directories(elsewhere);
  page.request("1", "/projects/changeProjectFolder",
               {{"migrateProjects", false}, {"path", {{"metadata", base64Encode(elsewhere.string())}, {"name", "x"}}}});
  EXPECT_EQ(page.replyTo("1")->at("result"), Json::object());
  EXPECT_FALSE(fs::exists(elsewhere / "Kestrom Projects"));

  // A folder the folder dialog handed out.
  page.request("2", "device/selectFolder", {{"initialPath", "Chosen"}, {"interactive", false}});
  auto chosen = page.replyTo("2");
  ASSERT_TRUE(chosen);
  auto path = chosen->at("result").at("path");
  page.request("3", "/projects/changeProjectFolder", {{"migrateProjects", false}, {"path", path}});
  EXPECT_EQ(page.replyTo("3")->at("result"), Json::object());
  EXPECT_TRUE(fs::is_directory(home.path / "Chosen" / "Kestrom Projects"));
}

}  // namespace
}  // namespace kestrom::test

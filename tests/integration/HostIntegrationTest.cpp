#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/WSTestClient.h"
#include "tests/integration/HostPage.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/WSTestClient.h"
#include "tests/support/RawHttp.h"

namespace kestrom::test {
namespace {

using Json = nlohmann::ordered_json;

class HostIntegrationTest : public ::testing::Test {
 protected:
  TemporaryHome home;
};

TEST_F(HostIntegrationTest, AnswersPingAndSendsTheForegroundNotificationAtStart) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  ASSERT_TRUE(page.connected());

  auto foreground = page.next();
  ASSERT_TRUE(foreground);
  EXPECT_EQ(*foreground, Json::parse(R"({"method":"host/lifecycle/foreground","params":{},"jsonrpc":"2.0"})"));

  page.request("7", "/ping");
  auto reply = page.replyTo("7");
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, Json::parse(R"({"id":"7","result":{},"jsonrpc":"2.0"})"));
  EXPECT_EQ(host.stop(), 0);
}

TEST_F(HostIntegrationTest, UnknownHubsGetTheirErrorReplies) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  ASSERT_TRUE(page.connected());

  page.request("d1", "/hub/disconnect", {{"id", "HUB-1"}});
  Json disconnected;
  do {
    auto frame = page.next();
    ASSERT_TRUE(frame);
    disconnected = *frame;
  } while (disconnected.value("method", "") == "host/lifecycle/foreground");
  EXPECT_EQ(disconnected, Json::parse(R"({"method":"/hub/disconnected","params":{"id":"HUB-1"},"jsonrpc":"2.0"})"));
  EXPECT_EQ(*page.next(), Json::parse(R"({"id":"d1","error":"no such connection","jsonrpc":"2.0"})"));

  page.request("s1", "/hub/send", {{"id", "HUB-1"}, {"message", "not base64!"}});
  EXPECT_EQ(page.replyTo("s1")->at("error"), "unable to decode message");

  page.request("s2", "/hub/send", {{"id", "HUB-1"}, {"message", "AAEC"}});
  EXPECT_EQ(page.next()->at("method"), "/hub/disconnected");
  EXPECT_EQ(page.replyTo("s2")->at("error"), "no such connection");

  page.request("c1", "/hub/connect", {{"id", "HUB-1"}});
  EXPECT_EQ(page.replyTo("c1")->at("error"), "Unable to connect");

  page.request("l1", "/hub/connections");
  EXPECT_EQ(page.replyTo("l1")->at("result"), Json::parse(R"({"devices":[]})"));
}

TEST_F(HostIntegrationTest, SettingsSurviveARestartAndComeBeforeTheConfigurationReply) {
  {
    HostProcess host(home.path);
    ASSERT_TRUE(host.running()) << host.errorOutput();
    Page page(host);
    page.request("1", "/settings/save",
                 {{"settings", {{"ui.language", {{"value", "de-DE"}}}, {"robot.name", {{"value", {1, "two", nullptr}}}}}}});
    auto reply = page.replyTo("1");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->at("result"), Json::object());
    EXPECT_EQ(host.stop(), 0);
  }
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  page.request("2", "/configuration/request");
  std::optional<Json> changed;
  while (auto frame = page.next()) {
    if (frame->value("method", "") == "/configuration/changed") {
      changed = frame;
      continue;
    }
    if (frame->contains("id")) {
      ASSERT_TRUE(changed) << "the reply came before /configuration/changed";
      EXPECT_EQ(*frame, Json::parse(R"({"id":"2","result":{},"jsonrpc":"2.0"})"));
      break;
    }
  }
  ASSERT_TRUE(changed);
  const auto& configuration = changed->at("params").at("configuration");
  EXPECT_EQ(configuration.at("userSettings").at("ui.language"), Json::parse(R"({"value":"de-DE"})"));
  EXPECT_EQ(configuration.at("userSettings").at("robot.name"), Json::parse(R"({"value":[1,"two",null]})"));
  EXPECT_EQ(configuration.at("host").at("currentLanguage"), "de-DE");
  EXPECT_EQ(configuration.at("host").at("platform"), "macos");
}

TEST_F(HostIntegrationTest, EveryReplyReachesEveryOpenPage) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page first(host);
  Page second(host);
  ASSERT_TRUE(first.connected() && second.connected());
  first.request("a", "/ping");
  second.request("b", "/ping");
  for (Page* page : {&first, &second}) {
    std::set<std::string> ids;
    while (ids.size() < 2) {
      auto frame = page->next();
      ASSERT_TRUE(frame) << "got only " << ids.size() << " replies";
      if (frame->contains("id")) ids.insert(frame->at("id").get<std::string>());
    }
    EXPECT_EQ(ids, (std::set<std::string>{"a", "b"}));
  }
}

TEST_F(HostIntegrationTest, FramesThatDoNotDecodeGetNoAnswerAndTheChannelStaysUsable) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  page.request("bad1", "/hub/send", Json::object());  // required keys missing
  page.request("bad2", "/nope");                       // not a method
  page.raw(R"({"id":"bad3","method":"/ping","params":{"values":{}},"jsonrpc":"2"})");
  page.raw("{ this is not json");
  page.raw(std::string(600, '[') + std::string(600, ']'));
  page.request("ok", "/ping");
  while (auto frame = page.next()) {
    if (!frame->contains("id")) continue;  // notifications
    EXPECT_EQ(frame->at("id"), "ok") << frame->dump();
    break;
  }
  auto log = host.errorOutput();
  EXPECT_NE(log.find("Could not decode event: RPC: unknown method: /nope"), std::string::npos);
  EXPECT_NE(log.find("Could not decode event: RPC: incompatiable rpc"), std::string::npos);
}

TEST_F(HostIntegrationTest, ServesThePageAndRefusesForeignOrigins) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  auto port = static_cast<std::uint16_t>(host.httpPort());
  auto host_ = "127.0.0.1:" + std::to_string(port);
  {
    RawHttpConnection connection(port);
    connection.send(makeHttpRequest("GET", "/index.html", {{"Host", host_}, {"Cookie", host.cookie()}}));
    auto response = connection.readResponse();
    EXPECT_EQ(response.status, 200);
    EXPECT_NE(response.body.find("<html"), std::string::npos);
  }
  {
    RawHttpConnection connection(port);
    connection.send(makeHttpRequest("GET", "/index.html", {{"Host", host_}, {"Origin", "http://evil.example"}}));
    EXPECT_EQ(connection.readResponse().status, 403);
  }
  {
    // "/debug" leads to the boot URL once the web view side has built it (right after start-up).
    std::optional<std::string> location;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      RawHttpConnection connection(port);
      connection.send(makeHttpRequest("GET", "/debug", {{"Host", host_}, {"Cookie", host.cookie()}}));
      auto response = connection.readResponse();
      EXPECT_EQ(response.status, 307);
      location = response.header("Location");
      if (location && !location->empty()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(location);
    EXPECT_EQ(location->rfind("http://localhost:" + std::to_string(port) + "/?appId=", 0), 0u) << *location;
  }
  // The WebSocket takes upgrades only from the host's own page.
  auto refused = rawExchange(host.wsPort(), upgradeRequest("127.0.0.1:" + std::to_string(host.wsPort()),
                                                           std::string("http://evil.example")));
  EXPECT_EQ(refused.rfind("HTTP/1.1 403", 0), 0u);
  WSTestClient ownPage;
  EXPECT_TRUE(ownPage.connect(host.wsPort(), {{"Origin", "http://localhost:" + std::to_string(port)}, {"Cookie", host.cookie()}}));
}

TEST_F(HostIntegrationTest, HelpPrintsTheUsageAndAnUnknownOptionIsRefusedWithoutStartingAHost) {
  // Bounded by timeout(1): a host that starts instead never ends by itself.
  auto run = [&](const std::string& option, std::string& output) {
    std::string command = "HOME='" + home.path.string() + "' env -u XDG_DATA_HOME -u XDG_RUNTIME_DIR timeout -s KILL 10 " +
                          KESTROM_HOST_BINARY + " " + option + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string help;
  EXPECT_EQ(run("--help", help), 0) << help;
  EXPECT_EQ(help.rfind("Usage: kestrom-host [--bundle DIR] [--verbose] [PROJECT FILE...]\n", 0), 0u) << help;
  EXPECT_NE(help.find("SIGTERM"), std::string::npos) << help;
  std::string refused;
  EXPECT_EQ(run("--bogus", refused), 2) << refused;
  EXPECT_NE(refused.find("unknown option --bogus"), std::string::npos) << refused;
  EXPECT_NE(refused.find("Usage: kestrom-host"), std::string::npos) << refused;
  EXPECT_FALSE(std::filesystem::exists(home.path / ".local/share")) << "a host started";
}

}  // namespace
}  // namespace kestrom::test

// Only the host's own page gets in: the per-launch secret, asked of every request and upgrade by
// both servers, handed to tools through a file only the user can read, and to an external browser
// through the one-time code of "/debug".

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "tests/integration/HostPage.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/RawHttp.h"
#include "tests/support/WSTestClient.h"

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class SessionTest : public ::testing::Test {
 protected:
  TemporaryHome home;
};

TEST_F(SessionTest, BothServersAnswerOnlyRequestsThatCarryTheSecret) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  auto port = static_cast<std::uint16_t>(host.httpPort());
  const std::string wrong = "kestrom-session=" + std::string(host.secret().size(), '0');
  const std::string wsHost = "127.0.0.1:" + std::to_string(host.wsPort());

  struct Case {
    const char* what;
    std::optional<std::string> cookie;
    int status;
  };
  const Case cases[] = {
      {"no cookie", std::nullopt, 403},
      {"wrong secret", wrong, 403},
      {"secret under another name", "session=" + host.secret(), 403},
      {"secret cut short", host.cookie().substr(0, host.cookie().size() - 1), 403},
      {"right secret", host.cookie(), 200},
      {"right secret among others", "a=b; " + wrong + "; " + host.cookie() + "; c=d", 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::pair<std::string, std::string>> headers;
    if (c.cookie) headers.emplace_back("Cookie", *c.cookie);
    EXPECT_EQ(rawHttp(port, makeHttpRequest("GET", "/index.html", headers)).status, c.status);
    auto upgrade = rawExchange(host.wsPort(), upgradeRequest(wsHost, std::nullopt, c.cookie));
    EXPECT_EQ(upgrade.substr(0, 12), c.status == 200 ? "HTTP/1.1 101" : "HTTP/1.1 403") << upgrade;
  }
  // The checks come after the request line: a malformed request still hears it is malformed.
  EXPECT_EQ(rawHttp(port, "garbage\r\n\r\n").status, 400);
  // Writes are refused as reads are.
  EXPECT_EQ(rawHttp(port, makeHttpRequest("POST", "/v1/sentryEnabled", {}, R"({"enabled":true})")).status, 403);
}

TEST_F(SessionTest, TheSecretFileIsTheUsersAloneAndGoesAtExitAndTheLogsNeverShowTheSecret) {
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  struct stat st {};
  ASSERT_EQ(::stat(host.secretFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(host.secret().size(), 64u);
  EXPECT_TRUE(std::regex_match(host.secret(), std::regex("[0-9a-f]{64}")));

  Page page(host);
  ASSERT_TRUE(page.connected());
  page.request("1", "/ping");
  ASSERT_TRUE(page.replyTo("1"));
  EXPECT_EQ(host.stop(), 0);
  EXPECT_FALSE(fs::exists(host.secretFile()));
  EXPECT_EQ(host.errorOutput().find(host.secret()), std::string::npos);
}

TEST_F(SessionTest, TheDebugAddressLetsOneBrowserInOnce) {
  HostProcess host(home.path, HostOptions{.environment = {{"KESTROM_PRINT_DEBUG_URL", "1"}}});
  ASSERT_TRUE(host.running()) << host.errorOutput();
  auto port = static_cast<std::uint16_t>(host.httpPort());

  // Asked for, the live address goes to stdout once the web view side has built the boot URL
  // (right after start-up); the log has it without its code.
  const std::string debugURL = "http://localhost:" + std::to_string(port) + "/debug";
  std::smatch found;
  const auto printed = host.outputLine("Debug URL: ", 5s);
  ASSERT_TRUE(printed) << host.errorOutput();
  ASSERT_TRUE(std::regex_match(*printed, found, std::regex("Debug URL: " + debugURL + "\\?code=([0-9a-f]{32})")))
      << *printed;
  const std::string code = found[1];
  const std::string log = host.errorOutput();
  EXPECT_NE(log.find("Debug URL: " + debugURL + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(code), std::string::npos) << log;

  EXPECT_EQ(rawHttp(port, makeHttpRequest("GET", "/debug")).status, 403);
  EXPECT_EQ(rawHttp(port, makeHttpRequest("GET", "/debug?code=" + std::string(32, '0'))).status, 403);
  auto admitted = rawHttp(port, makeHttpRequest("GET", "/debug?code=" + code));
  EXPECT_EQ(admitted.status, 307);
  EXPECT_EQ(admitted.header("Set-Cookie"), host.cookie() + "; Path=/; HttpOnly; SameSite=Strict");
  EXPECT_EQ(admitted.header("Location")->rfind("http://localhost:" + std::to_string(port) + "/?appId=", 0), 0u);
  EXPECT_EQ(admitted.header("Location")->find(host.secret()), std::string::npos);
  // Spent: the same code lets nobody else in.
  EXPECT_EQ(rawHttp(port, makeHttpRequest("GET", "/debug?code=" + code)).status, 403);
  EXPECT_EQ(rawHttp(port, makeHttpRequest("GET", "/index.html", {{"Cookie", host.cookie()}})).status, 200);
}

}  // namespace
}  // namespace kestrom::test

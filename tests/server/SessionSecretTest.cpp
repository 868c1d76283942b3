#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/server/SessionSecret.h"

namespace kestrom {
namespace {

TEST(SessionSecretTest, AdmitsOnlyTheSecretUnderItsCookieName) {
  SessionSecret drawn;
  EXPECT_EQ(drawn.value().size(), 64u);
  EXPECT_NE(drawn.value(), SessionSecret().value());

  SessionSecret session(std::string(64, 'a'));
  const std::string secret(64, 'a');
  EXPECT_TRUE(session.admits("kestrom-session=" + secret));
  EXPECT_TRUE(session.admits(" other=1 ;kestrom-session = " + secret + " ; x=y"));
  EXPECT_TRUE(session.admits("kestrom-session=stale; kestrom-session=" + secret));
  EXPECT_EQ(session.cookie(), "kestrom-session=" + secret);
  for (const std::string& header : std::vector<std::string>{std::string(), "kestrom-session=", "kestrom-session=" + secret + "a",
                             "kestrom-session=" + secret.substr(1), "kestrom-sessionx=" + secret,
                             "xkestrom-session=" + secret, secret, "kestrom-session=" + std::string(64, 'b')}) {
    SCOPED_TRACE(header);
    EXPECT_FALSE(session.admits(header));
  }
  EXPECT_FALSE(session.admits(std::nullopt));
}

TEST(SessionSecretTest, EachDebugCodeWorksOnce) {
  SessionSecret session;
  const std::string code = session.debugCode();
  EXPECT_EQ(code.size(), 32u);
  EXPECT_FALSE(session.redeemDebugCode(""));
  EXPECT_FALSE(session.redeemDebugCode(std::string(32, '0')));
  EXPECT_EQ(session.debugCode(), code) << "a wrong guess spends nothing";
  EXPECT_TRUE(session.redeemDebugCode(code));
  EXPECT_FALSE(session.redeemDebugCode(code));
  EXPECT_TRUE(session.debugCode().empty()) << "no second code follows the first";
  EXPECT_FALSE(session.redeemDebugCode("")) << "nor does the spent code's empty place let anyone in";
  EXPECT_TRUE(SessionSecret::equalInConstantTime("abc", "abc"));
  EXPECT_FALSE(SessionSecret::equalInConstantTime("abc", "abd"));
  EXPECT_FALSE(SessionSecret::equalInConstantTime("abc", "ab"));
}

TEST(SessionSecretTest, TheDebugCodeLapsesUnused) {
  using namespace std::chrono_literals;
  SessionSecret session(std::string(64, 'a'), 50ms);
  const std::string code = session.debugCode();
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(session.redeemDebugCode(code));
  EXPECT_TRUE(session.debugCode().empty());
  SessionSecret fresh(std::string(64, 'a'));
  EXPECT_TRUE(fresh.redeemDebugCode(fresh.debugCode())) << "within its five minutes it works";
}

}  // namespace
}  // namespace kestrom

#include "app/Configuration.h"

#include <gtest/gtest.h>

#include "KestromKit/model/ConfigRecords.h"
#include "tests/app/TestBundle.h"

namespace kestrom::app {
namespace {

using testing::plist;
using testing::TempBundle;

const std::string kVariant = plist(
    "<dict><key>launchScreenColorRed</key><real>0.25</real>"
    "<key>launchScreenColorGreen</key><real>0.5</real>"
    "<key>launchScreenColorBlue</key><real>1.5</real>"
    "<key>somethingElse</key><string>ignored</string></dict>");

TEST(ConfigurationTest, LoadsTheSampleBundle) {
  bundle::Bundle sample(testing::sampleBundle());
  auto configuration = Configuration::load(sample);
  ASSERT_TRUE(configuration) << configuration.error();
  EXPECT_DOUBLE_EQ(configuration->variant.launchScreenColorRed, 0.2);
  EXPECT_DOUBLE_EQ(configuration->variant.launchScreenColorGreen, 0.4);
  EXPECT_DOUBLE_EQ(configuration->variant.launchScreenColorBlue, 0.8);
  EXPECT_EQ(configuration->minimumContentSize, (Size{1024, 768}));

  // The sample configuration is one the kit accepts.
  auto decoded = decodeText<PartialIAppConfig>(configuration->applicationConfigurationString);
  ASSERT_TRUE(decoded) << decoded.error().description();
  EXPECT_EQ(decoded->availableLanguages, (std::vector<std::string>{"en-US", "de-DE"}));
  EXPECT_EQ(decoded->macos.fileAssociation.ext, "kpr");

  EXPECT_EQ(sample.infoString("CFBundleDisplayName"), "Kestrom");
  EXPECT_EQ(sample.infoBool("BuiltForAppstore"), false);
}

TEST(ConfigurationTest, KeepsTheApplicationConfigurationByteForByte) {
  TempBundle bundle;
  const std::string text = "  {\"appId\" : \"x\",\r\n\t\"odd\":  [1,2] }\n\n";
  bundle.write("variant/content/appconfig/appconfig.json", text);
  bundle.write("variant.plist", kVariant);
  auto configuration = Configuration::load(bundle::Bundle(bundle.path()));
  ASSERT_TRUE(configuration) << configuration.error();
  EXPECT_EQ(configuration->applicationConfigurationString, text);
  EXPECT_DOUBLE_EQ(configuration->variant.launchScreenColorBlue, 1.5);  // used unchanged
  EXPECT_EQ(configuration->minimumContentSize, (Size{1024, 768}));
}

TEST(ConfigurationTest, FailsWhenAResourceIsMissingOrTheVariantIsIncomplete) {
  struct Case {
    const char* name;
    bool writeAppConfig;
    std::string variant;  // empty: no variant.plist
    std::string expected;
  };
  const Case cases[] = {
      {"no application configuration", false, kVariant, "appconfig.json"},
      {"no variant", true, "", "variant.plist"},
      {"variant without blue", true,
       plist("<dict><key>launchScreenColorRed</key><real>0</real>"
             "<key>launchScreenColorGreen</key><real>0</real></dict>"),
       "launchScreenColorBlue"},
      {"variant that is not a property list", true, "not a plist at all", "not a property list"},
      {"variant with a string colour", true,
       plist("<dict><key>launchScreenColorRed</key><string>red</string>"
             "<key>launchScreenColorGreen</key><real>0</real><key>launchScreenColorBlue</key><real>0</real></dict>"),
       "launchScreenColorRed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempBundle bundle;
    if (c.writeAppConfig) bundle.write("variant/content/appconfig/appconfig.json", "{}");
    if (!c.variant.empty()) bundle.write("variant.plist", c.variant);
    auto configuration = Configuration::load(bundle::Bundle(bundle.path()));
    ASSERT_FALSE(configuration);
    EXPECT_NE(configuration.error().find(c.expected), std::string::npos) << configuration.error();
  }
}

TEST(ConfigurationTest, IntegerColourComponentsReadAsNumbers) {
  TempBundle bundle;
  bundle.write("variant/content/appconfig/appconfig.json", "{}");
  bundle.write("variant.plist", plist("<dict><key>launchScreenColorRed</key><integer>0</integer>"
                                      "<key>launchScreenColorGreen</key><integer>1</integer>"
                                      "<key>launchScreenColorBlue</key><real>0</real></dict>"));
  auto configuration = Configuration::load(bundle::Bundle(bundle.path()));
  ASSERT_TRUE(configuration) << configuration.error();
  EXPECT_EQ(configuration->variant.launchScreenColorGreen, 1.0);
}

}  // namespace
}  // namespace kestrom::app

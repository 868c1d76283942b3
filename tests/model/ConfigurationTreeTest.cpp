// The tree that "/configuration/changed" carries, built from the kit's Configuration.

#include <gtest/gtest.h>

#include <set>

#include "KestromKit/model/NotificationRecords.h"
#include "KestromKit/model/Configuration.h"
#include "tests/support/MessageSamples.h"

namespace kestrom {
namespace {

using testing::keysOf;
using testing::unordered;

TEST(ConfigurationTreeTest, TheTreeHasTheShapeOfTheConfigurationChangedParams) {
  const auto& configuration = testing::sampleConfiguration();
  auto tree = configuration.jsonObject().value();
  EXPECT_EQ(keysOf(tree), std::set<std::string>{"configuration"});
  EXPECT_EQ(keysOf(tree["configuration"]), (std::set<std::string>{"host", "userSettings"}));
  EXPECT_EQ(tree["configuration"]["host"].size(), 12u);
  EXPECT_EQ(unordered(tree), unordered(testing::sampleConfigurationParams()));

  auto read = decode<RPCNotifyConfigurationChangedParams>(tree);
  ASSERT_TRUE(read) << read.error().description();
  EXPECT_EQ(read->configuration.host, configuration.host);
  EXPECT_EQ(read->configuration.userSettings.at("recent").value, JSONAny(Json::array({1, 2})));
}

TEST(ConfigurationTreeTest, EnumerationsAreWrittenAsRawStrings) {
  Configuration configuration;
  configuration.host.platform = PlatformType::empty;
  configuration.host.deviceType = DeviceType::tablet;
  configuration.host.projectFolderStatus = ProjectFolderStatus::missing;
  auto host = configuration.jsonObject().value()["configuration"]["host"];
  EXPECT_EQ(host["platform"], "");
  EXPECT_EQ(host["deviceType"], "tablet");
  EXPECT_EQ(host["projectFolderStatus"], "missing");
}

TEST(ConfigurationTreeTest, AMissingBuildIsTheEmptyStringAndNoSettingsIsAnEmptyObject) {
  Configuration configuration;
  configuration.host.projectFolderPath = "~/Projects";
  configuration.host.projectFolderStatus = ProjectFolderStatus::ok;
  auto tree = configuration.jsonObject().value();
  auto host = tree["configuration"]["host"];
  ASSERT_TRUE(host.contains("hostBuild"));
  EXPECT_EQ(host["hostBuild"], "");
  EXPECT_EQ(host.size(), 12u);
  EXPECT_EQ(tree["configuration"]["userSettings"], Json::object());
}

TEST(ConfigurationTreeTest, AnUnknownProjectFolderIsLeftOutNotWrittenAsNull) {
  Configuration configuration;
  auto host = configuration.jsonObject().value()["configuration"]["host"];
  EXPECT_FALSE(host.contains("projectFolderPath"));
  EXPECT_FALSE(host.contains("projectFolderStatus"));
  EXPECT_EQ(host.size(), 10u);
  EXPECT_TRUE(decode<IHostConfiguration>(host));
}

TEST(ConfigurationTreeTest, EachSettingIsWrappedAsAValueObjectUnchanged) {
  Configuration configuration;
  configuration.userSettings["list"] = SettingValue{Json::array({1, 2})};
  configuration.userSettings["none"] = SettingValue{Json(nullptr)};
  configuration.userSettings["deep"] = SettingValue{Json::parse(R"({"a": [true, {"b": 1.5}]})")};
  auto settings = configuration.jsonObject().value()["configuration"]["userSettings"];
  EXPECT_EQ(unordered(settings),
            unordered(R"({"list": {"value": [1, 2]}, "none": {"value": null},
                          "deep": {"value": {"a": [true, {"b": 1.5}]}}})"));
}

TEST(ConfigurationTreeTest, ASettingValueNeedsItsValueKeyButNullIsAValue) {
  auto missing = decodeText<SettingValue>("{}");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, CodingError::Kind::keyNotFound);
  auto null = decodeText<SettingValue>(R"({"value": null})");
  ASSERT_TRUE(null);
  EXPECT_TRUE(null->value.value.is_null());
  EXPECT_EQ(unordered(*encode(SettingValue{Json("x")})), unordered(R"({"value": "x"})"));
}

}  // namespace
}  // namespace kestrom

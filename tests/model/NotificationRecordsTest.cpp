#include <gtest/gtest.h>

#include <set>

#include "KestromKit/model/ClientAPI.h"
#include "tests/model/IClientAPINotificationParams.h"
#include "tests/model/VocabularyChecks.h"
#include "KestromKit/model/NotificationRecords.h"
#include "tests/support/MessageSamples.h"

namespace kestrom {
namespace {

using testing::keysOf;
using testing::recordSample;
using testing::sampleValue;
using testing::unordered;

TEST(NotificationRecordsTest, EachTransportWritesOnlyItsOwnDetails) {
  struct Case {
    const char* label;
    std::set<std::string> keys;
  };
  const std::vector<Case> cases = {
      {"IDeviceFound (Bluetooth LE)", {"ble", "id", "name", "type"}},
      {"IDeviceFound (USB)", {"id", "name", "serial", "type"}},
      {"IDeviceFound (classic)", {"id", "name", "type"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto j = recordSample(c.label).encodeValue();
    ASSERT_TRUE(j);
    EXPECT_EQ(keysOf(*j), c.keys);
  }
}

TEST(NotificationRecordsTest, TransportDetailsLeaveOutWhatTheyDoNotHave) {
  EXPECT_EQ(unordered(*encode(IDeviceFound::Btc{})), unordered("{}"));
  EXPECT_EQ(unordered(*encode(IDeviceFound::Ble{std::nullopt, -70})), unordered(R"({"rssi": -70.0})"));
}

TEST(NotificationRecordsTest, UsbIdentifiersAreDoublesUnderLowerCaseIdKeys) {
  auto j = *encode(IDeviceFound::Serial{16, 1684});
  EXPECT_EQ(keysOf(j), (std::set<std::string>{"productId", "vendorId"}));
  EXPECT_TRUE(j["productId"].is_number_float());
  EXPECT_TRUE(j["vendorId"].is_number_float());
  auto upper = decodeText<IDeviceFound::Serial>(R"({"productID": 16, "vendorID": 1684})");
  ASSERT_FALSE(upper);
  EXPECT_EQ(upper.error().kind, CodingError::Kind::keyNotFound);
  // Reading accepts any JSON number.
  auto whole = decodeText<IDeviceFound::Serial>(R"({"productId": 16, "vendorId": 1684})");
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->vendorID, 1684.0);
}

TEST(NotificationRecordsTest, GamepadPoseIsLeftOutWhenAbsentAndNullReadsAsAbsent) {
  auto pad = sampleValue<IGamepad>("IGamepad");
  pad.pose.reset();
  auto j = *encode(pad);
  EXPECT_FALSE(j.contains("pose"));
  EXPECT_TRUE(j["index"].is_number_float());
  EXPECT_TRUE(j["timestamp"].is_number_float());
  j["pose"] = nullptr;
  auto back = decode<IGamepad>(j);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, pad);
}

TEST(NotificationRecordsTest, HostConfigurationHasNineKeysWithoutItsOptionsAndTwelveWithThem) {
  auto host = sampleValue<IHostConfiguration>("IHostConfiguration");
  EXPECT_EQ(encode(host)->size(), 12u);
  host.hostBuild.reset();
  host.projectFolderPath.reset();
  host.projectFolderStatus.reset();
  EXPECT_EQ(encode(host)->size(), 9u);
}

TEST(NotificationRecordsTest, EnumerationsTravelAsTheirExactRawStrings) {
  struct Case {
    const char* name;
    bool decodes;
    std::function<bool()> check;
  };
  auto platform = [](const char* raw) { return decode<PlatformType>(Json(raw)); };
  auto item = [](const char* text) { return decodeText<RPCNotifyMenuItemClickedParams>(text); };
  const std::vector<Case> cases = {
      {"empty string is the empty platform", true, [&] { return *platform("") == PlatformType::empty; }},
      {"empty platform writes the empty string", true, [] { return *encode(PlatformType::empty) == Json(""); }},
      {"win10i is lower case", true, [&] { return *platform("win10i") == PlatformType::win10I; }},
      {"win10I does not decode", false, [&] { return !platform("win10I"); }},
      {"quit is no menu item", false, [&] { return !item(R"({"item": "quit"})"); }},
      {"saveAs is a menu item", true, [&] { return item(R"({"item": "saveAs"})")->item == MenuBarItem::saveAs; }},
      {"needsMigration keeps its case", true,
       [] { return *encode(ProjectFolderStatus::needsMigration) == Json("needsMigration"); }},
      {"tablet", true, [] { return *decode<DeviceType>(Json("tablet")) == DeviceType::tablet; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.check());
  }
  EXPECT_EQ(platform("win10I").error().kind, CodingError::Kind::dataCorrupted);
}

IClientAPINotificationParams sampleAggregate() {
  IClientAPINotificationParams all{};
  all.audioLevelupdate = sampleValue<RPCNotifyAudioLevelUpdateParams>("RPCNotifyAudioLevelUpdateParams");
  all.configurationChanged = sampleValue<RPCNotifyConfigurationChangedParams>("RPCNotifyConfigurationChangedParams");
  all.contentCodestackrequest =
      sampleValue<RPCNotifyContentCodeStackRequestParams>("RPCNotifyContentCodeStackRequestParams");
  all.hubConnected = sampleValue<RPCNotifyHubConnectedParams>("RPCNotifyHubConnectedParams");
  all.hubDidReceiveMessage = sampleValue<RPCNotifyHubDidReceiveMessageParams>("RPCNotifyHubDidReceiveMessageParams");
  all.hubDisconnected = sampleValue<RPCNotifyHubDisconnectedParams>("RPCNotifyHubDisconnectedParams");
  all.hubScanningstopped = sampleValue<RPCNotifyHubScanningStoppedParams>("RPCNotifyHubScanningStoppedParams");
  all.menuItemClicked = sampleValue<RPCNotifyMenuItemClickedParams>("RPCNotifyMenuItemClickedParams");
  all.menuNavigateHistory = sampleValue<RPCNotifyMenuNavigateHistoryParams>("RPCNotifyMenuNavigateHistoryParams");
  all.projectsOpennotification =
      sampleValue<RPCNotifyProjectsRequestOpenParams>("RPCNotifyProjectsRequestOpenParams");
  all.pythonPaste = sampleValue<RPCNotifyPythonPasteParams>("RPCNotifyPythonPasteParams");
  all.pythonPresskeyboardbutton =
      sampleValue<RPCNotifyPythonPressKeyboardButtonParams>("RPCNotifyPythonPressKeyboardButtonParams");
  all.gamepadConnected = sampleValue<RPCNotifyGamepadConnectedParams>("RPCNotifyGamepadConnectedParams");
  all.gamepadDisconnected = sampleValue<RPCNotifyGamepadDisconnectedParams>("RPCNotifyGamepadDisconnectedParams");
  all.gamepadSnapshot = sampleValue<RPCNotifyGamepadSnapshotParams>("RPCNotifyGamepadSnapshotParams");
  all.hubDevicefound = sampleValue<RPCNotifyHubDeviceFoundParams>("RPCNotifyHubDeviceFoundParams");
  return all;
}

TEST(NotificationRecordsTest, TheNotificationVocabularyIsKeyedByEveryMethodAndRoundTrips) {
  testing::expectKeyedByEveryMethodAndRoundTrips<ClientAPINotification>(sampleAggregate(), 23);
}

TEST(NotificationRecordsTest, TheNotificationVocabularyNeedsAllItsKeysAndIgnoresOthers) {
  testing::expectEveryMethodKeyNeeded<ClientAPINotification>(sampleAggregate());
  auto j = *encode(sampleAggregate());
  j["/hub/unknown"] = Json::object();
  EXPECT_TRUE(decode<IClientAPINotificationParams>(j));
}

}  // namespace
}  // namespace kestrom

#include <gtest/gtest.h>

#include <set>

#include "KestromKit/model/ClientAPI.h"
#include "KestromKit/model/Coding.h"

namespace kestrom {
namespace {

TEST(ClientAPITest, EveryMethodStringLooksUpItsOwnCase) {
  std::set<std::string_view> seen;
  for (const auto& [method, raw] : EnumTable<ClientAPIRequest>::values) {
    SCOPED_TRACE(raw);
    EXPECT_EQ(clientAPIRequestFromRaw(raw), method);
    EXPECT_EQ(rawValue(method), raw);
    EXPECT_TRUE(seen.insert(raw).second);
  }
  for (const auto& [method, raw] : EnumTable<ClientAPINotification>::values) {
    SCOPED_TRACE(raw);
    EXPECT_EQ(clientAPINotificationFromRaw(raw), method);
    EXPECT_EQ(rawValue(method), raw);
    EXPECT_TRUE(seen.insert(raw).second);
  }
  EXPECT_EQ(seen.size(), 45u + 23u);
}

TEST(ClientAPITest, FixedIndicesAndSpellings) {
  EXPECT_EQ(static_cast<int>(ClientAPIRequest::hubSend), 0);
  EXPECT_EQ(static_cast<int>(ClientAPIRequest::ping), 29);
  EXPECT_EQ(static_cast<int>(ClientAPIRequest::settingsSave), 43);
  EXPECT_EQ(static_cast<int>(ClientAPIRequest::gamepadSubscribe), 44);
  EXPECT_EQ(static_cast<int>(ClientAPINotification::hubDevicefound), 3);
  EXPECT_EQ(static_cast<int>(ClientAPINotification::pythonPresskeyboardbutton), 16);
  EXPECT_EQ(rawValue(ClientAPIRequest::contentCancelsdownloadresources), "/content/cancelsdownloadresources");
  EXPECT_EQ(rawValue(ClientAPIRequest::hubUpdatingFirmware), "/hub/updatingFirmware");
  EXPECT_EQ(rawValue(ClientAPIRequest::deviceSelectFolder), "device/selectFolder");
  EXPECT_EQ(rawValue(ClientAPINotification::hubDidReceiveMessage), "/hub/didReceiveMessage");
  EXPECT_EQ(rawValue(ClientAPINotification::hostLifecycleBackground), "host/lifecycle/background");
}

TEST(ClientAPITest, LookupIsExactAndCaseSensitive) {
  struct Case {
    const char* text;
    std::optional<ClientAPIRequest> request;
  };
  const Case cases[] = {
      {"/hub/connect", ClientAPIRequest::hubConnect},
      {"hub/connect", std::nullopt},
      {"/HUB/CONNECT", std::nullopt},
      {"/hub/connect/", std::nullopt},
      {" /hub/connect", std::nullopt},
      {"/hub/connect ", std::nullopt},
      {"device/selectFolder", ClientAPIRequest::deviceSelectFolder},
      {"/device/selectFolder", std::nullopt},
      {"device/selectfolder", std::nullopt},
      {"/content/cancelsdownloadresources", ClientAPIRequest::contentCancelsdownloadresources},
      {"/content/canceldownloadresources", std::nullopt},
      {"/hub/connections", ClientAPIRequest::hubConnections},
      {"/hub/connections/validate", ClientAPIRequest::hubConnectionsValidate},
      {"/hub/connections/valid", std::nullopt},
      {"", std::nullopt},
      {"/hub/connected", std::nullopt},  // a notification
      {"gamepad/subscribe", ClientAPIRequest::gamepadSubscribe},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(clientAPIRequestFromRaw(c.text), c.request);
  }
  EXPECT_EQ(clientAPIRequestFromRaw(std::string_view("/ping\0", 6)), std::nullopt);

  EXPECT_EQ(clientAPINotificationFromRaw(""), std::nullopt);
  EXPECT_EQ(clientAPINotificationFromRaw("/hub/send"), std::nullopt);  // a request
  EXPECT_EQ(clientAPINotificationFromRaw("/hub/devicefound"), std::nullopt);
  EXPECT_EQ(clientAPINotificationFromRaw("hub/devicefound"), ClientAPINotification::hubDevicefound);
}

TEST(ClientAPITest, CodesAsJsonStrings) {
  auto written = encode(ClientAPINotification::hubDevicefound);
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(*written, Json("hub/devicefound"));
  written = encode(ClientAPINotification::hostLifecycleForeground);
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(*written, Json("host/lifecycle/foreground"));

  EXPECT_EQ(decodeText<ClientAPIRequest>(R"("/ping")").value(), ClientAPIRequest::ping);
  auto number = decodeText<ClientAPIRequest>("32");
  ASSERT_FALSE(number.has_value());
  EXPECT_EQ(number.error().kind, CodingError::Kind::typeMismatch);
  auto unknown = decodeText<ClientAPIRequest>(R"("/Ping")");
  ASSERT_FALSE(unknown.has_value());
  EXPECT_EQ(unknown.error().kind, CodingError::Kind::dataCorrupted);
  auto notification = decodeText<ClientAPINotification>(R"("/ping")");
  EXPECT_FALSE(notification.has_value());
}

}  // namespace
}  // namespace kestrom

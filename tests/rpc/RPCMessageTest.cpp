// The text of every frame the host sends: envelope shapes, the result and params of every case
// against the sample table, dates, and what the page receives when a value cannot be encoded.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <set>

#include "KestromKit/rpc/RPCMessage.h"
#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"
#include "tests/support/MessageSamples.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using testing::keysOf;
using testing::notificationSamples;
using testing::responseSamples;
using testing::unordered;
using RC = RPC::Response::Case;
using NC = RPC::Notification::Case;

// Whether the result, read back with the type its case carries, is the value that was sent.
bool resultReadsBack(const RPC::Response& response, const Json& result) {
  return std::visit(
      [&](const auto& sent) {
        using T = std::decay_t<decltype(sent)>;
        if constexpr (std::is_same_v<T, RPC::ErrorText>) {
          return false;
        } else {
          auto read = decode<T>(result);
          return read && *read == sent;
        }
      },
      response.result());
}

TEST(RPCMessageTest, EveryReplyIsIdResultAndVersionWithItsResultAsThePageExpects) {
  ASSERT_EQ(responseSamples().size(), RPC::kResponseCaseCount);
  for (std::size_t i = 0; i < responseSamples().size(); ++i) {
    const auto& sample = responseSamples()[i];
    SCOPED_TRACE(std::string(RPC::toString(sample.response.kind())));
    EXPECT_EQ(static_cast<std::size_t>(sample.response.kind()), i) << "one sample per case, in case order";
    if (sample.response.isError()) continue;

    auto text = RPC::encodeResponse(sample.response);
    ASSERT_TRUE(text) << text.error().description();
    auto frame = unordered(*text);
    EXPECT_EQ(keysOf(frame), (std::set<std::string>{"id", "result", "jsonrpc"}));
    EXPECT_EQ(frame["id"], sample.response.id());
    EXPECT_EQ(frame["jsonrpc"], "2.0");
    EXPECT_EQ(frame["result"], unordered(sample.result));
    EXPECT_TRUE(resultReadsBack(sample.response, Json::parse(*text)["result"]));
    EXPECT_EQ(RPC::responseFrame(sample.response), *text);
  }
}

TEST(RPCMessageTest, AnErrorReplyIsExactlyIdErrorTextAndVersion) {
  auto response = RPC::Response::error("42", "no such connection");
  auto text = RPC::encodeResponse(response);
  ASSERT_TRUE(text);
  auto frame = unordered(*text);
  EXPECT_EQ(frame, unordered(R"({"id": "42", "error": "no such connection", "jsonrpc": "2.0"})"));
  auto envelope = decodeText<RpcError>(*text);
  ASSERT_TRUE(envelope);
  EXPECT_EQ(*envelope, (RpcError{"42", "no such connection", "2.0"}));
}

TEST(RPCMessageTest, PingAnswersWithAnEmptyObject) {
  auto text = RPC::encodeResponse(RPC::Response::make<RC::miscPing>("p-1"));
  ASSERT_TRUE(text);
  EXPECT_EQ(unordered(*text), unordered(R"({"id": "p-1", "result": {}, "jsonrpc": "2.0"})"));
}

TEST(RPCMessageTest, ProjectListDatesAreNumbersOfMilliseconds) {
  const Date newYear = Date(1704067200000ms);
  auto response = RPC::Response::make<RC::projectsRequestAll>(
      "l", {{RPCProjectItem{newYear, "p", newYear + 500ms, "n", 3}}});
  auto frame = Json::parse(*RPC::encodeResponse(response));
  const auto& item = frame["result"]["projects"][0];
  ASSERT_TRUE(item["created"].is_number());
  EXPECT_EQ(item["created"].get<double>(), 1704067200000.0);
  EXPECT_EQ(item["lastsaved"].get<double>(), 1704067200500.0);
}

TEST(RPCMessageTest, EveryNotificationIsMethodParamsAndVersionWithTheExactMethodString) {
  ASSERT_EQ(notificationSamples().size(), RPC::kNotificationCaseCount);
  for (std::size_t i = 0; i < notificationSamples().size(); ++i) {
    const auto& sample = notificationSamples()[i];
    SCOPED_TRACE(std::string(sample.method));
    EXPECT_EQ(static_cast<std::size_t>(sample.notification.kind()), i) << "one sample per case, in case order";
    auto text = RPC::encodeNotification(sample.notification);
    ASSERT_TRUE(text) << text.error().description();
    auto frame = unordered(*text);
    EXPECT_EQ(keysOf(frame), (std::set<std::string>{"method", "params", "jsonrpc"}));
    EXPECT_EQ(frame["method"], std::string(sample.method));
    EXPECT_EQ(frame["jsonrpc"], "2.0");
    EXPECT_EQ(frame["params"], unordered(sample.params));
    EXPECT_EQ(RPC::notificationFrame(sample.notification), *text);
  }
}

TEST(RPCMessageTest, TypedNotificationParamsReadBackToTheValueSent) {
  for (const auto& sample : notificationSamples()) {
    SCOPED_TRACE(std::string(sample.method));
    auto params = Json::parse(*RPC::encodeNotification(sample.notification))["params"];
    bool same = std::visit(
        [&](const auto& sent) {
          using T = std::decay_t<decltype(sent)>;
          if constexpr (std::is_same_v<T, Configuration>) {
            auto read = decode<RPCNotifyConfigurationChangedParams>(params);
            return read && read->configuration.host == sent.host &&
                   read->configuration.userSettings.size() == sent.userSettings.size();
          } else {
            auto read = decode<T>(params);
            return read && *read == sent;
          }
        },
        sample.notification.payload());
    EXPECT_TRUE(same);
  }
}

TEST(RPCMessageTest, ConfigurationChangedCarriesTheConfigurationTreeNeverAPlaceholder) {
  const auto& configuration = testing::sampleConfiguration();
  auto text = RPC::encodeNotification(RPC::Notification::make<NC::configurationChanged>(configuration));
  ASSERT_TRUE(text);
  auto frame = unordered(*text);
  EXPECT_EQ(frame["method"], "/configuration/changed");
  ASSERT_TRUE(frame["params"].is_object());
  EXPECT_EQ(frame["params"], unordered(configuration.jsonObject().value()));
  EXPECT_EQ(frame["params"], unordered(testing::sampleConfigurationParams()));
}

TEST(RPCMessageTest, LifecycleNotificationsGoOutWithEmptyParams) {
  for (auto kind : {NC::hostLifecycleBackground, NC::hostLifecycleForeground}) {
    auto frame = unordered(*RPC::encodeNotification(RPC::Notification(kind, JSONObject{})));
    EXPECT_EQ(frame["params"], nlohmann::json::object());
  }
}

// ---- values that cannot be encoded -----------------------------------------------------------

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInfinity = std::numeric_limits<double>::infinity();

TEST(RPCMessageTest, AReplyThatCannotBeEncodedIsAnsweredWithACodingFailureError) {
  struct Case {
    const char* name;
    RPC::Response response;
  };
  const std::vector<Case> cases = {
      {"project size NaN",
       RPC::Response::make<RC::projectsRequestAll>("a", {{RPCProjectItem{Date{}, "p", Date{}, "n", kNaN}}})},
      {"hub rssi infinite",
       RPC::Response::make<RC::hubGetConnections>(
           "b", {{IDeviceFound{IDeviceFound::Ble{std::nullopt, -kInfinity}, std::nullopt, "h", "n", std::nullopt,
                               HubConnectionType::bluetoothLowenergy}}})},
      {"free object with infinity",
       RPC::Response::make<RC::miscPing>("c", JSONObject{{"x", JSONAny(Json(kInfinity))}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto text = RPC::encodeResponse(c.response);
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().kind, CodingError::Kind::invalidValue);

    log::ScopedRecording recording;
    auto frame = unordered(RPC::responseFrame(c.response));
    EXPECT_EQ(frame, unordered(nlohmann::json{{"id", c.response.id()},
                                              {"error", "RPC: coding failure"},
                                              {"jsonrpc", "2.0"}}.dump()));
    auto records = recording.sink().records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, log::Level::error);
    EXPECT_EQ(records[0].category, "WebSocket");
    EXPECT_EQ(records[0].message.rfind("Unable to encode response: ", 0), 0u) << records[0].message;
  }
}

TEST(RPCMessageTest, ANotificationThatCannotBeEncodedIsLoggedAndNotSent) {
  auto level = RPC::Notification::make<NC::audioLevelUpdate>({0.1, kInfinity});
  auto text = RPC::encodeNotification(level);
  ASSERT_FALSE(text);
  ASSERT_TRUE(text.error().codingError());
  EXPECT_EQ(text.error().codingError()->kind, CodingError::Kind::invalidValue);

  auto configuration = testing::sampleConfiguration();
  configuration.userSettings["volume"] = SettingValue{Json(kNaN)};
  auto changed = RPC::Notification::make<NC::configurationChanged>(configuration);
  text = RPC::encodeNotification(changed);
  ASSERT_FALSE(text);
  ASSERT_TRUE(text.error().codingError());
  EXPECT_EQ(text.error().codingError()->kind, CodingError::Kind::invalidValue);

  for (const auto* notification : {&level, &changed}) {
    log::ScopedRecording recording;
    EXPECT_FALSE(RPC::notificationFrame(*notification));
    EXPECT_FALSE(RPC::messageFrame(RPCMessage(*notification)));
    auto records = recording.sink().records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(recording.sink().contains("WebSocket", "Unable to encode response: "));
  }
}

TEST(RPCMessageTest, TextThatIsNotUtf8GoesOutWithReplacementCharacters) {
  IDeviceFound hub{std::nullopt, std::nullopt, "h-1", "Hub \xff\xfe!", std::nullopt, HubConnectionType::usb};
  auto found = RPC::encodeNotification(RPC::Notification::make<NC::hubDeviceFound>({hub}));
  ASSERT_TRUE(found);
  auto frame = unordered(*found);  // would throw on invalid UTF-8
  auto name = frame["params"]["device"]["name"].get<std::string>();
  EXPECT_EQ(name.rfind("Hub \xEF\xBF\xBD", 0), 0u) << name;
  EXPECT_EQ(name.back(), '!');

  auto configuration = testing::sampleConfiguration();
  configuration.userSettings["bad\xc3"] = SettingValue{Json("v\xe2\x82")};
  auto changed = RPC::encodeNotification(RPC::Notification::make<NC::configurationChanged>(configuration));
  ASSERT_TRUE(changed);
  auto settings = unordered(*changed)["params"]["configuration"]["userSettings"];
  ASSERT_TRUE(settings.contains("bad\xEF\xBF\xBD"));
  EXPECT_EQ(settings["bad\xEF\xBF\xBD"]["value"], "v\xEF\xBF\xBD");

  auto reply = RPC::responseFrame(RPC::Response::error("e", "broken \x80 text"));
  EXPECT_EQ(unordered(reply)["error"], "broken \xEF\xBF\xBD text");
}

TEST(RPCMessageTest, AMessageIsWrittenByItsCase) {
  RPCMessage response(RPC::Response::make<RC::hubSend>("s-1"));
  RPCMessage notification(RPC::Notification::make<NC::hubConnected>({"hub"}));
  EXPECT_EQ(response.kind(), RPCMessage::Case::response);
  EXPECT_EQ(notification.kind(), RPCMessage::Case::notification);
  ASSERT_NE(response.response(), nullptr);
  EXPECT_EQ(response.notification(), nullptr);

  auto replyFrame = unordered(*RPC::messageFrame(response));
  EXPECT_EQ(keysOf(replyFrame), (std::set<std::string>{"id", "result", "jsonrpc"}));
  auto notificationFrame = unordered(*RPC::messageFrame(notification));
  EXPECT_EQ(notificationFrame["method"], "/hub/connected");
}

}  // namespace
}  // namespace kestrom

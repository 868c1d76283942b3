#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <variant>

#include "KestromKit/rpc/RPC.h"
#include "tests/model/IClientAPIRequestParams.h"
#include "tests/support/RequestSamples.h"

namespace kestrom {
namespace {

using RPC::Failure;
using RPC::Request;

std::string frame(std::string_view method, std::string_view values, std::string_view id = "\"7\"") {
  return R"({"id": )" + std::string(id) + R"(, "method": ")" + std::string(method) +
         R"(", "jsonrpc": "2.0", "params": {"values": )" + std::string(values) + "}}";
}

CodingError codingErrorOf(std::string_view text) {
  auto decoded = RPC::decodeRequest(text);
  EXPECT_FALSE(decoded.has_value()) << text;
  if (decoded) return {};
  EXPECT_NE(decoded.error().codingError(), nullptr) << decoded.error().description();
  return decoded.error().codingError() ? *decoded.error().codingError() : CodingError{};
}

/// A frame that does not decode, and the coding error it must give.
struct ErrorCase {
  const char* name;
  const char* text;
  CodingError::Kind kind;
  const char* path;
};

template <std::size_t N>
void expectCodingErrors(const ErrorCase (&cases)[N]) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto error = codingErrorOf(c.text);
    EXPECT_EQ(error.kind, c.kind);
    EXPECT_EQ(error.path, c.path);
  }
}

Failure failureOf(std::string_view text) {
  auto decoded = RPC::decodeRequest(text);
  EXPECT_FALSE(decoded.has_value()) << text;
  if (decoded) return Failure::codingFailure();
  EXPECT_NE(decoded.error().failure(), nullptr) << decoded.error().description();
  return decoded.error().failure() ? *decoded.error().failure() : Failure::codingFailure();
}

TEST(RPCRequestTest, PingWithEmptyValuesDecodes) {
  auto request =
      RPC::decodeRequest(R"({"id": "abc-1", "method": "/ping", "jsonrpc": "2.0", "params": {"values": {}}})");
  ASSERT_TRUE(request.has_value()) << request.error().description();
  EXPECT_EQ(request->kind(), Request::Case::miscPing);
  EXPECT_EQ(request->method(), ClientAPIRequest::ping);
  EXPECT_EQ(request->id(), "abc-1");
  EXPECT_TRUE(request->params<JSONObject>().empty());
  EXPECT_THROW((void)request->params<RPCRequestHubSendParams>(), std::bad_variant_access);
}

TEST(RPCRequestTest, EveryMethodDecodesToItsCaseAndPayload) {
  // The schema aggregate says which payload each method carries; the decoder must agree.
  Json all = Json::object();
  for (const auto& sample : testing::requestSamples()) all[std::string(sample.method)] = Json::parse(sample.values);
  auto aggregate = decode<IClientAPIRequestParams>(all);
  ASSERT_TRUE(aggregate.has_value()) << aggregate.error().description();
  const IClientAPIRequestParams& schema = *aggregate;

  std::set<Request::Case> cases;
  std::apply(
      [&](const auto&... f) {
        auto check = [&](const auto& field) {
          using T = std::remove_cvref_t<decltype(schema.*(field.member))>;
          SCOPED_TRACE(field.key);
          auto request = RPC::decodeRequest(frame(field.key, testing::requestSample(field.key).values));
          ASSERT_TRUE(request.has_value()) << request.error().description();
          EXPECT_EQ(rawValue(request->method()), field.key);
          EXPECT_EQ(request->id(), "7");
          ASSERT_TRUE(std::holds_alternative<T>(request->params()));
          EXPECT_EQ(request->template params<T>(), schema.*(field.member));
          EXPECT_EQ(RPC::requestCase(request->method()), request->kind());
          EXPECT_EQ(RPC::requestMethod(request->kind()), request->method());
          cases.insert(request->kind());
        };
        (check(f), ...);
      },
      IClientAPIRequestParams::codingFields());
  EXPECT_EQ(cases.size(), RPC::kRequestCaseCount);
}

TEST(RPCRequestTest, CasesKeepTheirOrderAndNames) {
  struct Case {
    Request::Case kind;
    int index;
    const char* name;
    const char* method;
  };
  const Case cases[] = {
      {Request::Case::hubSend, 0, "hubSend", "/hub/send"},
      {Request::Case::hubGetConnections, 3, "hubGetConnections", "/hub/connections"},
      {Request::Case::hubFirmwareUpdating, 6, "hubFirmwareUpdating", "/hub/updatingFirmware"},
      {Request::Case::contentCancelDownloadResources, 18, "contentCancelDownloadResources",
       "/content/cancelsdownloadresources"},
      {Request::Case::miscPing, 29, "miscPing", "/ping"},
      {Request::Case::requestRating, 30, "requestRating", "/misc/requestrating"},
      {Request::Case::projectsRequestAll, 33, "projectsRequestAll", "/projects/list"},
      {Request::Case::enablePythonKeyboard, 40, "enablePythonKeyboard", "/python/enablepythonkeyboard"},
      {Request::Case::gamepadSubscribe, 44, "gamepadSubscribe", "gamepad/subscribe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(static_cast<int>(c.kind), c.index);
    EXPECT_EQ(RPC::toString(c.kind), c.name);
    EXPECT_EQ(rawValue(RPC::requestMethod(c.kind)), c.method);
  }
}

TEST(RPCRequestTest, EnvelopeMembersAreRequiredStrings) {
  const ErrorCase cases[] = {
      {"number id", R"({"id": 7, "method": "/ping", "jsonrpc": "2.0", "params": {"values": {}}})",
       CodingError::Kind::typeMismatch, "id"},
      {"null id", R"({"id": null, "method": "/ping", "jsonrpc": "2.0", "params": {"values": {}}})",
       CodingError::Kind::valueNotFound, "id"},
      {"missing id", R"({"method": "/ping", "jsonrpc": "2.0", "params": {"values": {}}})",
       CodingError::Kind::keyNotFound, ""},
      {"missing method", R"({"id": "1", "jsonrpc": "2.0", "params": {"values": {}}})",
       CodingError::Kind::keyNotFound, ""},
      {"number method", R"({"id": "1", "method": 32, "jsonrpc": "2.0", "params": {"values": {}}})",
       CodingError::Kind::typeMismatch, "method"},
      {"missing jsonrpc", R"({"id": "1", "method": "/ping", "params": {"values": {}}})",
       CodingError::Kind::keyNotFound, ""},
      {"number jsonrpc", R"({"id": "1", "method": "/ping", "jsonrpc": 2.0, "params": {"values": {}}})",
       CodingError::Kind::typeMismatch, "jsonrpc"},
      // The envelope is checked before the version, so a bad id wins over a bad version.
      {"number id and bad version", R"({"id": 1, "method": "/ping", "jsonrpc": "1.0"})",
       CodingError::Kind::typeMismatch, "id"},
      {"array", R"([{"id": "1", "method": "/ping", "jsonrpc": "2.0"}])", CodingError::Kind::typeMismatch, ""},
      {"string", R"("/ping")", CodingError::Kind::typeMismatch, ""},
  };
  expectCodingErrors(cases);
}

TEST(RPCRequestTest, ParamsAndValuesAreRequiredForEveryMethod) {
  const ErrorCase cases[] = {
      {"no params", R"({"id": "1", "method": "/ping", "jsonrpc": "2.0"})", CodingError::Kind::keyNotFound, ""},
      {"empty params", R"({"id": "1", "method": "/ping", "jsonrpc": "2.0", "params": {}})",
       CodingError::Kind::keyNotFound, "params"},
      {"null params", R"({"id": "1", "method": "/ping", "jsonrpc": "2.0", "params": null})",
       CodingError::Kind::valueNotFound, "params"},
      {"params array", R"({"id": "1", "method": "/ping", "jsonrpc": "2.0", "params": []})",
       CodingError::Kind::typeMismatch, "params"},
      {"values array", R"({"id": "1", "method": "/ping", "jsonrpc": "2.0", "params": {"values": []}})",
       CodingError::Kind::typeMismatch, "params.values"},
      {"values null", R"({"id": "1", "method": "/ping", "jsonrpc": "2.0", "params": {"values": null}})",
       CodingError::Kind::valueNotFound, "params.values"},
      {"values string", R"({"id": "1", "method": "/hub/connections", "jsonrpc": "2.0", "params": {"values": "x"}})",
       CodingError::Kind::typeMismatch, "params.values"},
      {"payload key missing", R"({"id": "1", "method": "/content/cleantemp", "jsonrpc": "2.0",
          "params": {"values": {"tmpID": "t"}}})",
       CodingError::Kind::keyNotFound, "params.values"},
      {"payload key mistyped", R"({"id": "1", "method": "/hub/send", "jsonrpc": "2.0",
          "params": {"values": {"id": "h", "message": 5}}})",
       CodingError::Kind::typeMismatch, "params.values.message"},
      {"payload enum", R"({"id": "1", "method": "/hub/startscan", "jsonrpc": "2.0",
          "params": {"values": {"type": "Usb"}}})",
       CodingError::Kind::dataCorrupted, "params.values.type"},
      {"nested setting", R"({"id": "1", "method": "/settings/save", "jsonrpc": "2.0",
          "params": {"values": {"settings": {"a": {"val": 1}}}}})",
       CodingError::Kind::keyNotFound, "params.values.settings.a"},
  };
  expectCodingErrors(cases);
  for (const auto& sample : testing::requestSamples()) {
    SCOPED_TRACE(sample.method);
    auto noParams = R"({"id": "1", "jsonrpc": "2.0", "method": ")" + std::string(sample.method) + "\"}";
    EXPECT_EQ(codingErrorOf(noParams).kind, CodingError::Kind::keyNotFound);
    EXPECT_EQ(codingErrorOf(frame(sample.method, "[]")).path, "params.values");
  }
}

TEST(RPCRequestTest, VersionIsCheckedBeforeTheMethod) {
  for (const char* version : {"2.0 ", "2", "1.0", "", " 2.0", "2.00"}) {
    SCOPED_TRACE(version);
    for (const char* method : {"/ping", "/no/such/method"}) {
      auto text = R"({"id": "1", "method": ")" + std::string(method) + R"(", "jsonrpc": ")" + version +
                  R"(", "params": {"values": {}}})";
      auto failure = failureOf(text);
      EXPECT_EQ(failure, Failure::incompatibleRPC());
      EXPECT_EQ(failure.description(), "RPC: incompatiable rpc");
    }
  }
  // Without params too: the version fails before anything asks for them.
  EXPECT_EQ(failureOf(R"({"id": "1", "method": "/ping", "jsonrpc": "3.0"})"), Failure::incompatibleRPC());
}

TEST(RPCRequestTest, UnknownMethodsNameTheMethodAsReceived) {
  for (const char* method : {"/hub/Send", "/HUB/SEND", "/device/setorientation", "/device/selectFolder",
                             "/gamepad/subscribe", "/hub/connected", "", "/ping/", "/ping\\u0000"}) {
    SCOPED_TRACE(method);
    auto failure = failureOf(frame(method, "{}"));
    EXPECT_EQ(failure.kind, Failure::Case::unknown);
    auto received = Json::parse("\"" + std::string(method) + "\"").get<std::string>();
    EXPECT_EQ(failure.method, received);
    EXPECT_EQ(failure.description(), "RPC: unknown method: " + received);
  }
  // An unknown method fails before its params are looked at.
  EXPECT_EQ(failureOf(R"({"id": "1", "method": "/nope", "jsonrpc": "2.0"})").kind, Failure::Case::unknown);
}

TEST(RPCRequestTest, ExtraMembersAreIgnored) {
  auto request = RPC::decodeRequest(
      R"({"extra": [1], "params": {"values": {"id": "h", "message": "AA==", "more": 1}, "other": 2},
          "jsonrpc": "2.0", "method": "/hub/send", "id": "x", "error": null})");
  ASSERT_TRUE(request.has_value()) << request.error().description();
  EXPECT_EQ(request->kind(), Request::Case::hubSend);
  EXPECT_EQ(request->params<RPCRequestHubSendParams>(), (RPCRequestHubSendParams{"h", "AA=="}));
  RPCRequestHubSendParams taken = std::move(*request).params<RPCRequestHubSendParams>();
  EXPECT_EQ(taken.message, "AA==");
}

TEST(RPCRequestTest, MalformedFramesFailWithoutCrashing) {
  std::string deep = frame("/ping", R"({"a": )" + std::string(600, '[') + std::string(600, ']') + "}");
  std::string truncatedUtf8 = frame("/hub/send", "{\"id\": \"h\xe2\x82\", \"message\": \"\"}");
  std::string badContinuation = frame("/hub/send", "{\"id\": \"h\xc3\x28\", \"message\": \"\"}");
  const std::string frames[] = {
      "",
      " ",
      "{",
      "not json",
      "\xff\xfe{}",
      "{\"id\": \"1\", \"method\": \"/ping\", \"jsonrpc\": \"2.0\", \"params\": {\"values\": {}}",  // no brace
      "{\"id\": \"1\"} trailing",
      std::string("{\"id\": \"1\"}\0", 12),
      truncatedUtf8,
      badContinuation,
      deep,
      std::string(100000, '['),
      frame("/gamepad/subscribe", R"({"targetHz": 1e400})"),
      frame("/gamepad/subscribe", R"({"targetHz": -1e99999})"),
      frame("/ping", "{}", "123456789012345678901234567890"),
      frame("/ping", "{}", "1e400"),
  };
  for (const auto& text : frames) {
    SCOPED_TRACE(text.substr(0, 80));
    auto decoded = RPC::decodeRequest(text);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_NE(decoded.error().codingError(), nullptr);
    EXPECT_FALSE(decoded.error().description().empty());
  }
  // Deep nesting within the limit is a value like any other.
  std::string nested = frame("/ping", R"({"a": )" + std::string(500, '[') + std::string(500, ']') + "}");
  EXPECT_TRUE(RPC::decodeRequest(nested).has_value());
  // A huge but finite number is just a number.
  auto big = RPC::decodeRequest(frame("gamepad/subscribe", R"({"targetHz": 1e308})"));
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ(big->params<RPCRequestGamepadSubscribeParams>().targetHz, 1e308);
}

TEST(RPCRequestTest, DecodeErrorDescribesEitherKind) {
  RPC::DecodeError failure{Failure::unknown("/x")};
  EXPECT_EQ(failure.description(), "RPC: unknown method: /x");
  EXPECT_EQ(failure.codingError(), nullptr);
  RPC::DecodeError coding{
      CodingError{CodingError::Kind::keyNotFound, "params", "No value associated with key \"values\"."}};
  EXPECT_EQ(coding.description(), "keyNotFound at params: No value associated with key \"values\".");
  EXPECT_EQ(coding.failure(), nullptr);
}

TEST(RPCRequestTest, RequestRefusesAPayloadOfAnotherMethod) {
  EXPECT_THROW(Request(Request::Case::hubSend, "1", JSONObject{}), std::logic_error);
  EXPECT_THROW(Request(Request::Case::projectsDelete, "1", RPCRequestProjectsMoveParams{"p"}), std::logic_error);
  EXPECT_NO_THROW(Request(Request::Case::projectsMove, "1", RPCRequestProjectsMoveParams{"p"}));
}

TEST(RPCFailureTest, DescriptionsAreExact) {
  EXPECT_EQ(Failure::unknown("/a").description(), "RPC: unknown method: /a");
  EXPECT_EQ(Failure::incompatibleRPC().description(), "RPC: incompatiable rpc");
  EXPECT_EQ(Failure::codingFailure().description(), "RPC: coding failure");
}

TEST(RpcEnvelopeTest, WritesIdMethodVersionInThatOrder) {
  auto written = encode(Rpc{"1", "/ping", "2.0"});
  ASSERT_TRUE(written.has_value());
  std::vector<std::string> keys;
  for (const auto& [key, value] : written->items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "method", "jsonrpc"}));
  EXPECT_EQ(decode<Rpc>(*written).value(), (Rpc{"1", "/ping", "2.0"}));
}

}  // namespace
}  // namespace kestrom

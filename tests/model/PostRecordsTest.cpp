#include <gtest/gtest.h>

#include <vector>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/PostRecords.h"
#include "tests/model/IClientAPIHTTPPostRequestBody.h"

namespace kestrom {
namespace {

TEST(PostRecordsTest, SentryEnabledBodyNeedsExactlyABooleanUnderEnabled) {
  struct Case {
    const char* body;
    bool decodes;
    bool enabled;
  };
  const std::vector<Case> cases = {
      {R"({"enabled": true})", true, true},
      {R"({"enabled": false})", true, false},
      {R"({"enabled": true, "other": [1], "more": null})", true, true},
      {R"({})", false, false},
      {R"({"enabled": null})", false, false},
      {R"({"enabled": "true"})", false, false},
      {R"({"enabled": 1})", false, false},
      {R"({"Enabled": true})", false, false},
      {R"([true])", false, false},
      {R"({"enabled": tru)", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    auto decoded = decodeText<HTTPPostSentryEnabledBodyV1>(c.body);
    ASSERT_EQ(decoded.has_value(), c.decodes);
    if (decoded) {
      EXPECT_EQ(decoded->enabled, c.enabled);
    }
  }
}

TEST(PostRecordsTest, AggregateIsKeyedByThePathWithItsLeadingSlash) {
  IClientAPIHTTPPostRequestBody body{{true}};
  auto encoded = encode(body);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(*encoded, Json::parse(R"({"/v1/sentryEnabled": {"enabled": true}})"));
  auto back = decode<IClientAPIHTTPPostRequestBody>(*encoded);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, body);
  EXPECT_FALSE(decodeText<IClientAPIHTTPPostRequestBody>(R"({"v1SentryEnabled": {"enabled": true}})"));
}

TEST(PostRecordsTest, PathEnumerationMatchesItsTextExactly) {
  EXPECT_EQ(enumFromRaw<ClientAPIV1HTTPPostRequest>("/v1/sentryEnabled"),
            ClientAPIV1HTTPPostRequest::v1SentryEnabled);
  for (const char* text : {"/v1/sentryenabled", "v1/sentryEnabled", "/V1/sentryEnabled", "/v1/sentryEnabled/", ""}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(enumFromRaw<ClientAPIV1HTTPPostRequest>(text).has_value());
    auto decoded = decode<ClientAPIV1HTTPPostRequest>(Json(text));
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().kind, CodingError::Kind::dataCorrupted);
  }
  EXPECT_EQ(*encode(ClientAPIV1HTTPPostRequest::v1SentryEnabled), Json("/v1/sentryEnabled"));
}

}  // namespace
}  // namespace kestrom

#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "KestromKit/model/ClientAPI.h"
#include "tests/model/IClientAPIResponseParams.h"
#include "tests/model/VocabularyChecks.h"
#include "KestromKit/model/ResponseRecords.h"
#include "tests/support/MessageSamples.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using testing::recordSample;
using testing::sampleValue;
using testing::unordered;

TEST(ResponseRecordsTest, EmptyResultsAreEmptyObjectsOrEmptyLists) {
  struct Case {
    const char* name;
    Expected<Json, CodingError> written;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"save-as without a path", encode(RPCResponseProjectsSaveAsParams{}), "{}"},
      {"select folder without a path", encode(RPCResponseDeviceSelectFolderParams{}), "{}"},
      {"no hubs", encode(RPCResponseHubGetConnectionsParams{}), R"({"devices": []})"},
      {"no projects", encode(RPCResponseProjectsRequestAllParams{}), R"({"projects": []})"},
      {"no initial projects", encode(RPCResponseProjectsRequestInitialProjectsParams{}), R"({"projectIds": []})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.written);
    EXPECT_EQ(unordered(*c.written), unordered(c.expected));
  }
}

TEST(ResponseRecordsTest, ProjectDatesAreMillisecondsSince1970WithFractions) {
  const Date newYear = Date(1704067200000ms);  // 2024-01-01T00:00:00Z
  RPCProjectItem item{newYear, "p", newYear + 500ms, "n", 1};
  auto j = encode(item);
  ASSERT_TRUE(j);
  ASSERT_TRUE((*j)["created"].is_number());
  EXPECT_EQ((*j)["created"].get<double>(), 1704067200000.0);
  EXPECT_EQ((*j)["lastsaved"].get<double>() - (*j)["created"].get<double>(), 500.0);

  item.created = Date(1500us);
  j = encode(item);
  EXPECT_EQ((*j)["created"].get<double>(), 1.5);
  auto back = decode<RPCProjectItem>(*j);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->created, Date(1500us));
}

TEST(ResponseRecordsTest, InitialProjectsAreReadOnlyUnderProjectIds) {
  auto wrongKey = decodeText<RPCResponseProjectsRequestInitialProjectsParams>(R"({"projectIDS": ["a"]})");
  ASSERT_FALSE(wrongKey);
  EXPECT_EQ(wrongKey.error().kind, CodingError::Kind::keyNotFound);
  auto right = decodeText<RPCResponseProjectsRequestInitialProjectsParams>(R"({"projectIds": ["a"]})");
  ASSERT_TRUE(right);
  EXPECT_EQ(right->projectIDS, std::vector<std::string>{"a"});
}

TEST(ResponseRecordsTest, SaveAsFilePathIsOptionalButTyped) {
  EXPECT_FALSE(decodeText<RPCResponseProjectsSaveAsParams>("{}")->filePath);
  EXPECT_FALSE(decodeText<RPCResponseProjectsSaveAsParams>(R"({"filePath": null})")->filePath);
  auto number = decodeText<RPCResponseProjectsSaveAsParams>(R"({"filePath": 5})");
  ASSERT_FALSE(number);
  EXPECT_EQ(number.error().kind, CodingError::Kind::typeMismatch);
  // The stop-recording reply's path of the same name is required.
  auto missing = decodeText<RPCResponseAudioStopRecordingParams>("{}");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, CodingError::Kind::keyNotFound);
}

TEST(ResponseRecordsTest, PermissionNeedsGrantedAndIgnoresOtherMembers) {
  auto missing = decodeText<RPCResponseAudioCheckRecordingPermissionParams>("{}");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, CodingError::Kind::keyNotFound);
  auto extra = decodeText<RPCResponseAudioCheckRecordingPermissionParams>(R"({"granted": true, "why": 1})");
  ASSERT_TRUE(extra);
  EXPECT_TRUE(extra->granted);
}

IClientAPIResponseParams sampleAggregate() {
  IClientAPIResponseParams all{};
  all.audioCheckrecordingpermission =
      sampleValue<RPCResponseAudioCheckRecordingPermissionParams>("RPCResponseAudioCheckRecordingPermissionParams");
  all.audioStoprecording = sampleValue<RPCResponseAudioStopRecordingParams>("RPCResponseAudioStopRecordingParams");
  all.hubConnections = sampleValue<RPCResponseHubGetConnectionsParams>("RPCResponseHubGetConnectionsParams");
  all.projectsInitialprojects =
      sampleValue<RPCResponseProjectsRequestInitialProjectsParams>("RPCResponseProjectsRequestInitialProjectsParams");
  all.projectsList = sampleValue<RPCResponseProjectsRequestAllParams>("RPCResponseProjectsRequestAllParams");
  all.projectsSaveAs = sampleValue<RPCResponseProjectsSaveAsParams>("RPCResponseProjectsSaveAsParams");
  all.deviceSelectFolder = sampleValue<RPCResponseDeviceSelectFolderParams>("RPCResponseDeviceSelectFolderParams");
  all.ping = JSONObject{{"pong", JSONAny(Json(true))}};
  return all;
}

TEST(ResponseRecordsTest, TheReplyVocabularyIsKeyedByEveryRequestMethodAndRoundTrips) {
  testing::expectKeyedByEveryMethodAndRoundTrips<ClientAPIRequest>(sampleAggregate(), 45);
}

TEST(ResponseRecordsTest, TheReplyVocabularyNeedsAllItsKeys) {
  testing::expectEveryMethodKeyNeeded<ClientAPIRequest>(sampleAggregate());
}

}  // namespace
}  // namespace kestrom

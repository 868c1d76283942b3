#include "KestromKit/model/Manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrom {
namespace {

/// Object member order is not part of what is compared.
nlohmann::json unordered(const Json& value) { return nlohmann::json::parse(value.dump()); }

/// Every record and key a manifest may hold, each optional field present once.
const char* const kFullManifest = R"json({
  "id": "package",
  "units": [{
    "id": "u1", "title": "Unit", "subtitle": "s", "target": "t", "targetGroup": "g", "description": "d",
    "unavailableOffline": true, "image": "u.png", "background": "bg.png", "hideInList": false,
    "teacherSupportText": "help", "teacherSupportUrl": "not checked as a URL",
    "video": {"id": "v", "token": "tok", "baseUrl": "b", "subtitles": {"en": "http://s/en.srt"},
              "urls": {"original_download": "http://v/o.mp4", "video_frames_download": "http://v/f.zip"}},
    "activities": [{
      "id": "a1", "title": "A", "subtitle": "s", "description": "d", "duration": "10", "image": "a.png",
      "level": "1", "toolbox": ["x"], "unavailable": false, "required": ["r"], "grade": "3",
      "lessonplanLink": "l", "isGettingStarted": true,
      "video": {"id": "v2", "token": "t", "baseUrl": "b", "urls": {}},
      "steps": [{
        "id": "s1", "title": "S", "subtitle": "ss", "description": "d", "image": "s.png",
        "buildinginstruction": {"id": "bi", "title": "BI", "image": "i", "availableOffline": true,
                                "isActivityBuildingInstruction": false,
                                "buildingInstructions": [{"title": "e", "image": "i", "steps": 4,
                                                          "videos": {"id": "v3", "token": "t", "baseUrl": "b", "urls": {}}}]},
        "hints": [{"image": "h.png", "text": "hint", "CodeStack": {"snippet": "print()"}}],
        "code": {"alwaysAdd": true, "show": false, "add": true, "clear": false, "snippet": "code",
                 "comments": {"1": "one"}}
      }]
    }]
  }]
})json";

TEST(ManifestTest, ReadsAndWritesEveryRecordAndKey) {
  auto manifest = decodeText<Manifest>(kFullManifest);
  ASSERT_TRUE(manifest) << manifest.error().description();
  const auto& unit = manifest->units.at(0);
  ASSERT_TRUE(unit.activities);
  const auto& step = unit.activities->at(0).steps->at(0);
  EXPECT_EQ(step.hints->at(0).code->snippet, "print()");
  EXPECT_EQ(step.buildinginstruction->buildingInstructions.at(0).steps, 4);
  EXPECT_EQ(unit.video->urls.video_frames_download, URLString{"http://v/f.zip"});
  EXPECT_EQ(unit.video->subtitles->at("en"), URLString{"http://s/en.srt"});
  auto written = encode(*manifest);
  ASSERT_TRUE(written);
  EXPECT_EQ(unordered(*written), nlohmann::json::parse(kFullManifest));
}

TEST(ManifestTest, DropsUnknownKeysAndNullsOnTheWayThrough) {
  auto manifest = decodeText<Manifest>(
      R"({"id":"p","extra":1,"units":[{"id":"u","title":"t","description":"d","image":null,"x":[],
          "activities":[{"id":"a","title":"t","subtitle":"s","description":"d","duration":"1","level":"l",
                         "steps":[{"id":"s","title":"t","description":"d","hints":[{"code":{"snippet":"lost"}}]}]}]}]})");
  ASSERT_TRUE(manifest) << manifest.error().description();
  EXPECT_EQ(unordered(*encode(*manifest)),
            nlohmann::json::parse(R"({"id":"p","units":[{"id":"u","title":"t","description":"d",
                "activities":[{"id":"a","title":"t","subtitle":"s","description":"d","duration":"1","level":"l",
                               "steps":[{"id":"s","title":"t","description":"d","hints":[{}]}]}]}]})"));
}

TEST(ManifestTest, FailsTheWholeManifestOnABadField) {
  const std::string unit = R"("id":"u","title":"t","description":"d")";
  const std::string video = R"("id":"v","token":"t","baseUrl":"b")";
  const std::vector<std::pair<std::string, std::string>> table{
      {"no units", R"({"id":"p"})"},
      {"unit without title", R"({"id":"p","units":[{"id":"u","description":"d"}]})"},
      {"null required", R"({"id":null,"units":[]})"},
      {"wrong optional type", R"({"id":"p","units":[{)" + unit + R"(,"hideInList":"yes"}]})"},
      {"building instruction without entries",
       R"({"id":"p","units":[{)" + unit +
           R"(,"activities":[{"id":"a","title":"t","subtitle":"s","description":"d","duration":"1","level":"l",
              "steps":[{"id":"s","title":"t","description":"d","buildinginstruction":{"title":"b"}}]}]}]})"},
      {"steps as text",
       R"({"id":"p","units":[{)" + unit +
           R"(,"activities":[{"id":"a","title":"t","subtitle":"s","description":"d","duration":"1","level":"l",
              "steps":[{"id":"s","title":"t","description":"d",
                        "buildinginstruction":{"title":"b","buildingInstructions":[{"steps":"4"}]}}]}]}]})"},
      {"subtitle not a URL", R"({"id":"p","units":[{)" + unit + R"(,"video":{)" + video +
                                 R"(,"urls":{},"subtitles":{"en":"not a url"}}}]})"},
      {"download not a URL", R"({"id":"p","units":[{)" + unit + R"(,"video":{)" + video +
                                 R"(,"urls":{"small_download":"a b"}}}]})"},
      {"video without urls", R"({"id":"p","units":[{)" + unit + R"(,"video":{)" + video + R"(}}]})"},
  };
  for (const auto& [name, text] : table) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(decodeText<Manifest>(text));
  }
  // An entry without "videos" is fine.
  EXPECT_TRUE(decodeText<Manifest>(
      R"({"id":"p","units":[{)" + unit +
      R"(,"activities":[{"id":"a","title":"t","subtitle":"s","description":"d","duration":"1","level":"l",
         "steps":[{"id":"s","title":"t","description":"d","buildinginstruction":{"title":"b","buildingInstructions":[{}]}}]}]}]})"));
}

TEST(ManifestTest, SetsTheOfflineFlagOnACopy) {
  Manifest::ContentUnit unit{.id = "u", .title = "t", .description = "d"};
  auto marked = unit.withUnavailableOffline(false);
  EXPECT_EQ(marked.unavailableOffline, false);
  EXPECT_FALSE(unit.unavailableOffline);
  marked.unavailableOffline.reset();
  EXPECT_EQ(marked, unit);
  EXPECT_EQ(unit.withUnavailableOffline(true).unavailableOffline, true);
}

}  // namespace
}  // namespace kestrom

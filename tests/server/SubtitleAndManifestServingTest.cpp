// Subtitles converted on the way out, and a content package's manifest with its language fallback.

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/server/ContentServing.h"
#include "tests/server/ContentFolders.h"

namespace kestrom {
namespace {

using Kind = WebServerResponse::Kind;

class SubtitleServingTest : public testing::ContentFolders {
 protected:
  WebServerResponse get(std::optional<std::string> percentEncodedQuery) {
    auto r = request("/subtitles");
    r.urlComponents.percentEncodedQuery = std::move(percentEncodedQuery);
    return serveSubtitles(r, content);
  }
};

TEST_F(SubtitleServingTest, ConvertsSubRipFoundLikeAnyStaticFile) {
  write(content / "en-US" / "videos" / "a.srt", "1\r\n00:00:01,000 --> 00:00:02,500\r\nHello\r\nWorld\r\n");
  const std::string vtt = "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.500\nHello\nWorld\n\n";
  for (const std::string query : {"url=/content/en-US/videos/a.srt", "src=http://localhost:4711/content/en-US/videos/a.srt",
                                  "url=%2Fcontent%2Fen-US%2Fvideos%2Fa.srt", "url=/content/fr-FR/videos/a.srt"}) {
    SCOPED_TRACE(query);
    auto response = get(query);
    ASSERT_EQ(response.kind(), Kind::ok);
    EXPECT_EQ(response.headers(), (WebServerHeaders{{"Content-Type", "text/vtt"}}));
    EXPECT_EQ(bodyOf(response), vtt);
  }
}

TEST_F(SubtitleServingTest, SendsWebVttFilesAsTheyAre) {
  const std::string vtt = "WEBVTT\r\n\r\n00:01.000 --> 00:02.000\r\nas is\r\n";
  write(prepacked / "en-US" / "a.vtt", vtt);
  write(prepacked / "en-US" / "b.webvtt", vtt);
  EXPECT_EQ(bodyOf(get("url=/content/en-US/a.vtt")), vtt);
  EXPECT_EQ(bodyOf(get("url=/content/en-US/b.webvtt")), vtt);
}

TEST_F(SubtitleServingTest, AnswersNotFoundOrServerErrorForWhatItCannotServe) {
  write(content / "bad.srt", "1\n00:00:01,000 --> 00:00:02,000\n\xff\n");
  write(outside / "secret.srt", "1\n00:00:01,000 --> 00:00:02,000\nsecret\n");
  const std::vector<std::pair<std::optional<std::string>, Kind>> table{
      {std::nullopt, Kind::notFound},
      {"", Kind::notFound},
      {"url", Kind::notFound},
      {"url=", Kind::notFound},
      {"a=b=c", Kind::notFound},
      {"url=/content/none.srt", Kind::notFound},
      {"url=/a b.srt", Kind::notFound},  // not URL text
      {"url=/content/../outside/secret.srt", Kind::notFound},
      {"url=/../outside/secret.srt", Kind::notFound},
      {"url=" + (outside / "secret.srt").string(), Kind::notFound},
      {"url=/content/bad.srt", Kind::serverError},
  };
  for (const auto& [query, kind] : table) {
    SCOPED_TRACE(query.value_or("(no query)"));
    EXPECT_EQ(get(query).kind(), kind);
  }
}

TEST_F(SubtitleServingTest, ASubRipFileOverHalfAMiBIsNotConvertedInMemory) {
  std::string cue = "1\n00:00:01,000 --> 00:00:02,000\n" + std::string(100, 'x') + "\n\n";
  std::string large;
  while (large.size() <= (1u << 19)) large += cue;
  write(content / "large.srt", large);
  EXPECT_EQ(get("url=/content/large.srt").kind(), Kind::serverError);
  large.resize((1u << 19) - cue.size());
  large.resize(large.rfind("\n\n") + 2);
  write(content / "fits.srt", large);
  EXPECT_EQ(get("url=/content/fits.srt").kind(), Kind::ok);
}

/// Stands in for the content store: reads "<language>/manifest.json" of its folder.
class FolderManifests : public ContentManifestSource {
 public:
  explicit FolderManifests(std::filesystem::path folder) : folder_(std::move(folder)) {}
  std::filesystem::path contentPath() const override { return folder_; }
  std::optional<Manifest> readManifest(const std::string& language) const override {
    requested.push_back(language);
    std::ifstream in(folder_ / language / "manifest.json", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto manifest = decodeText<Manifest>(text);
    if (!manifest) return std::nullopt;
    return *manifest;
  }
  mutable std::vector<std::string> requested;

 private:
  std::filesystem::path folder_;
};

class ManifestServingTest : public testing::ContentFolders {
 protected:
  static std::string manifestText(const std::string& id) {
    return R"({"id":")" + id + R"(","units":[{"id":"u1","title":"T","description":"D","extra":1}]})";
  }
};

TEST_F(ManifestServingTest, FallsBackToTheDefaultLanguagesManifest) {
  write(content / "en-US" / "manifest.json", manifestText("english"));
  FolderManifests source(content);
  auto response = serveContentManifest(request("/content/fr-FR/manifest.json"), "fr-FR", source, "en-US");
  ASSERT_EQ(response.kind(), Kind::ok);
  EXPECT_EQ(response.headers(), (WebServerHeaders{{"Content-Type", "application/json"}}));
  // Re-encoded from the record: keys it does not name are gone.
  EXPECT_EQ(nlohmann::json::parse(response.body()),
            nlohmann::json::parse(R"({"id":"english","units":[{"id":"u1","title":"T","description":"D"}]})"));
  EXPECT_EQ(source.requested, std::vector<std::string>{"en-US"});

  write(content / "fr-FR" / "manifest.json", manifestText("french"));
  response = serveContentManifest(request("/content/fr-FR/manifest.json"), "fr-FR", source, "en-US");
  EXPECT_EQ(Json::parse(response.body())["id"], "french");
}

TEST_F(ManifestServingTest, AnswersNotFoundForEveryFailure) {
  FolderManifests source(content);
  EXPECT_EQ(serveContentManifest(request("/"), "fr-FR", source, "en-US").kind(), Kind::notFound);

  // The first language with a file is the one read: an undecodable manifest does not fall back.
  write(content / "fr-FR" / "manifest.json", R"({"id":"no units"})");
  write(content / "en-US" / "manifest.json", manifestText("english"));
  EXPECT_EQ(serveContentManifest(request("/"), "fr-FR", source, "en-US").kind(), Kind::notFound);

  // A language that is not a single folder name is skipped, never joined to the path.
  write(outside / "manifest.json", manifestText("outside"));
  source.requested.clear();
  auto response = serveContentManifest(request("/"), "../outside", source, "en-US");
  EXPECT_EQ(Json::parse(response.body())["id"], "english");
  EXPECT_EQ(serveContentManifest(request("/"), "..", source, "../outside").kind(), Kind::notFound);
  EXPECT_EQ(serveContentManifest(request("/"), "", source, "").kind(), Kind::notFound);
  // A folder named manifest.json is no manifest file.
  std::filesystem::create_directories(content / "de-DE" / "manifest.json");
  EXPECT_EQ(serveContentManifest(request("/"), "de-DE", source, "xx-XX").kind(), Kind::notFound);
}

}  // namespace
}  // namespace kestrom

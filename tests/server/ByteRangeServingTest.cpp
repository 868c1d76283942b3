// Video byte ranges as the media stack asks for them, answered from the open file.

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "KestromKit/server/ContentServing.h"
#include "tests/server/ContentFolders.h"

namespace kestrom {
namespace {

using Kind = WebServerResponse::Kind;

class ByteRangeServingTest : public testing::ContentFolders {
 protected:
  void SetUp() override {
    ContentFolders::SetUp();
    for (int i = 0; i < 1000; ++i) movie += static_cast<char>('a' + i % 26);
    write(content / "movie.mp4", movie);
  }
  WebServerResponse get(const std::string& range, const std::string& header = "Range") {
    auto r = request("/content/movie.mp4");
    if (!range.empty()) r.headers[header] = range;
    return serveByteRange(r, content);
  }
  std::string movie;
};

TEST_F(ByteRangeServingTest, WithoutARangeSendsTheWholeFileWithItsLength) {
  auto response = get("");
  ASSERT_EQ(response.kind(), Kind::ok);
  EXPECT_EQ(response.headers(), (WebServerHeaders{{"Content-Type", "video/mp4"}, {"Content-Length", "1000"}}));
  ASSERT_TRUE(response.file());  // streamed from the file, not read into the response
  EXPECT_EQ(bodyOf(response), movie);
}

TEST_F(ByteRangeServingTest, AnswersEachRangeFormAsHttpDefinesIt) {
  struct Case {
    std::string range;
    std::uint64_t first, last;
  };
  const std::vector<Case> partial{
      {"bytes=0-1", 0, 1},     {"bytes=0-99", 0, 99},  {"bytes=0-999", 0, 999},
      {"bytes=100-", 100, 999}, {"bytes=-100", 900, 999}, {"bytes=0-1000", 0, 999},
      {"bytes=998-5000", 998, 999},
  };
  for (const auto& c : partial) {
    SCOPED_TRACE(c.range);
    auto response = get(c.range);
    ASSERT_EQ(response.kind(), Kind::partial);
    const auto count = c.last - c.first + 1;
    EXPECT_EQ(response.headers(),
              (WebServerHeaders{{"Accept-Ranges", "bytes"},
                                {"Content-Type", "video/mp4"},
                                {"Content-Length", std::to_string(count)},
                                {"Content-Range", "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) +
                                                      "/1000"}}));
    ASSERT_TRUE(response.file());
    EXPECT_EQ(response.file()->offset, c.first);
    EXPECT_EQ(bodyOf(response), movie.substr(c.first, count));
  }

  for (const std::string range : {"bytes=1000-", "bytes=1000-1000", "bytes=5000-6000", "bytes=-0", "bytes=500-100"}) {
    SCOPED_TRACE(range);
    auto response = get(range);
    EXPECT_EQ(response.kind(), Kind::rangeNotSatisfiable);
    EXPECT_EQ(response.statusCode(), 416);
    EXPECT_EQ(response.headerValue("Content-Range"), "bytes */1000");
    EXPECT_EQ(response.bodyLength(), 0u);
  }

  for (const std::string range : {"bytes=abc", "bytes=-", "0-1", "bytes=0-1,5-6", "lines=0-1", "bytes=1-x"}) {
    SCOPED_TRACE(range);
    auto response = get(range);
    EXPECT_EQ(response.kind(), Kind::ok);
    EXPECT_EQ(response.headerValue("Content-Length"), "1000");
    EXPECT_EQ(bodyOf(response), movie);
  }
}

TEST_F(ByteRangeServingTest, ReadsTheHeaderInAnySpellingAndHonoursIfRange) {
  EXPECT_EQ(get("bytes=0-1", "range").kind(), Kind::partial);
  EXPECT_EQ(get("bytes=0-1", "RANGE").kind(), Kind::partial);
  auto r = request("/content/movie.mp4");
  r.headers["Range"] = "bytes=0-1";
  r.headers["If-Range"] = "\"some-etag\"";  // this server issues no validators, so none matches
  EXPECT_EQ(serveByteRange(r, content).kind(), Kind::ok);
}

TEST_F(ByteRangeServingTest, AnEmptyFileHasNoSatisfiableRange) {
  write(content / "empty.mp4", "");
  auto r = request("/content/empty.mp4");
  EXPECT_EQ(serveByteRange(r, content).kind(), Kind::ok);
  r.headers["Range"] = "bytes=0-";
  auto response = serveByteRange(r, content);
  EXPECT_EQ(response.kind(), Kind::rangeNotSatisfiable);
  EXPECT_EQ(response.headerValue("Content-Range"), "bytes */0");
}

TEST_F(ByteRangeServingTest, ServesRangesOfFilesLargerThanMemoryWithoutReadingThem) {
  // A sparse 5 GiB file: a handler that read it whole would fail or take far too long.
  const auto big = content / "big.mp4";
  { std::ofstream(big, std::ios::binary) << ""; }
  constexpr std::uint64_t kSize = 5ull << 30;
  ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(kSize)), 0);
  auto r = request("/content/big.mp4");
  r.headers["Range"] = "bytes=4294967296-4294967299";
  auto response = serveByteRange(r, content);
  ASSERT_EQ(response.kind(), Kind::partial);
  EXPECT_EQ(response.headerValue("Content-Range"), "bytes 4294967296-4294967299/5368709120");
  ASSERT_TRUE(response.file());
  EXPECT_EQ(response.file()->offset, 4294967296u);
  EXPECT_EQ(response.file()->length, 4u);
  EXPECT_EQ(bodyOf(response), std::string(4, '\0'));

  r.headers["Range"] = "bytes=-10";
  EXPECT_EQ(serveByteRange(r, content).headerValue("Content-Range"), "bytes 5368709110-5368709119/5368709120");
}

TEST_F(ByteRangeServingTest, AMissingOrRefusedFileIsNotFound) {
  write(outside / "x.mp4", "secret");
  for (const std::string path : {"/content/none.mp4", "/content/../outside/x.mp4", "/content/../../x.mp4"}) {
    SCOPED_TRACE(path);
    auto r = request(path);
    r.headers["Range"] = "bytes=0-1";
    EXPECT_EQ(serveByteRange(r, content).kind(), Kind::notFound);
  }
}

}  // namespace
}  // namespace kestrom

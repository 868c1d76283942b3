#include "KestromKit/server/MultipartParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrom {
namespace {

using namespace std::string_literals;

constexpr std::string_view kBoundary = "----B0undary";

std::string field(std::string_view disposition, std::string_view data) {
  return "------B0undary\r\nContent-Disposition: " + std::string(disposition) + "\r\n\r\n" + std::string(data) +
         "\r\n";
}
const std::string kClose = "------B0undary--\r\n";

TEST(MultipartParserTest, ReadsOnePartWithItsHeadersAndBytes) {
  const std::string body = "--B\r\nContent-Disposition: form-data; name=file\r\n\r\nxyz\r\n--B--\r\n";
  auto parts = parseMultipart(body, "B");
  ASSERT_TRUE(parts);
  ASSERT_EQ(parts->size(), 1u);
  EXPECT_EQ((*parts)[0].data, "xyz");
  EXPECT_EQ((*parts)[0].headers, (MultipartHeaders{{"Content-Disposition", "form-data; name=file"}}));
}

TEST(MultipartParserTest, KeepsPartsInOrderWithEveryHeaderAndBinaryData) {
  const std::string binary = "\x00\xff\r\n-\r\n--\x01\x80\r"s;
  const std::string body = field("form-data; name=\"name\"", "a.sb3") +
                           "------B0undary\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.sb3\"\r\n"
                           "Content-Type: application/octet-stream\r\n\r\n" +
                           binary + "\r\n" + field("form-data; name=\"empty\"", "") + kClose;
  auto parts = parseMultipart(body, kBoundary);
  ASSERT_TRUE(parts);
  ASSERT_EQ(parts->size(), 3u);
  EXPECT_EQ((*parts)[0].data, "a.sb3");
  EXPECT_EQ((*parts)[1].data, binary);
  EXPECT_EQ((*parts)[1].headers.at("Content-Type"), "application/octet-stream");
  EXPECT_EQ((*parts)[1].headers.size(), 2u);
  EXPECT_EQ((*parts)[2].data, "");

  // The located form points into the body without copying and agrees with the copied one.
  auto slices = locateMultipart(body, kBoundary);
  ASSERT_TRUE(slices);
  ASSERT_EQ(slices->size(), 3u);
  EXPECT_EQ(body.substr((*slices)[1].offset, (*slices)[1].length), binary);
  auto file = multipartPart("file", *slices);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->offset, (*slices)[1].offset);
}

TEST(MultipartParserTest, HeaderQuirksAreKeptAsWritten) {
  const std::string body =
      "--B\r\nX-NoSpace:value\r\nX-Case: Keep \r\nx-case: other\r\nX-Twice: 1\r\nX-Twice: 2\r\nX-Empty:\r\n"
      "X-Colon: a: b\r\n\r\ndata\r\n--B--\r\n";
  auto parts = parseMultipart(body, "B");
  ASSERT_TRUE(parts);
  ASSERT_EQ(parts->size(), 1u);
  const auto& h = (*parts)[0].headers;
  EXPECT_EQ(h.at("X-NoSpace"), "alue");  // two bytes after the colon are skipped unchecked
  EXPECT_EQ(h.at("X-Case"), "Keep ");    // values are not trimmed
  EXPECT_EQ(h.at("x-case"), "other");    // names are not case-folded
  EXPECT_EQ(h.at("X-Twice"), "2");
  EXPECT_EQ(h.at("X-Empty"), "");  // never reads past the line's end
  EXPECT_EQ(h.at("X-Colon"), "a: b");
  EXPECT_EQ((*parts)[0].data, "data");
}

TEST(MultipartParserTest, DataMayHoldAnotherBoundaryOrAPrefixOfItsOwn) {
  const std::string data = "x\r\n--Other\r\n--B0\r\n--B";
  const std::string body = "--B0undary\r\nA: b\r\n\r\n" + data + "\r\n--B0undary--\r\n";
  auto parts = parseMultipart(body, "B0undary");
  ASSERT_TRUE(parts);
  ASSERT_EQ(parts->size(), 1u);
  EXPECT_EQ((*parts)[0].data, data);
}

TEST(MultipartParserTest, AClosingBoundaryFirstIsAnEmptyList) {
  auto parts = parseMultipart("--B--\r\n", "B");
  ASSERT_TRUE(parts);
  EXPECT_TRUE(parts->empty());
  // Anything after the closing line is not looked at.
  EXPECT_TRUE(parseMultipart("--B--x and more", "B"));
}

TEST(MultipartParserTest, EveryDeviationIsMalformed) {
  const std::string good = "--B\r\nContent-Disposition: form-data; name=file\r\n\r\nxyz\r\n--B--\r\n";
  ASSERT_TRUE(parseMultipart(good, "B"));
  const std::vector<std::pair<std::string, std::string>> table{
      {"empty body", ""},
      {"without the final CR LF", "--B\r\nA: b\r\n\r\nxyz\r\n--B--"},
      {"preamble CR LF", "\r\n" + good},
      {"preamble text", "junk" + good},
      {"other boundary", "--C\r\nA: b\r\n\r\nxyz\r\n--C--\r\n"},
      {"one hyphen", "-B\r\nA: b\r\n\r\nxyz\r\n--B--\r\n"},
      {"LF only after boundary", "--B\nA: b\r\n\r\nxyz\r\n--B--\r\n"},
      {"junk after boundary", "--Bx\r\nA: b\r\n\r\nxyz\r\n--B--\r\n"},
      {"LF only line ends", "--B\nA: b\n\nxyz\n--B--\n"},
      {"header without colon", "--B\r\nNoColon\r\n\r\nxyz\r\n--B--\r\n"},
      {"colon only on a later line", "--B\r\nNoColon\r\nA: b\r\n\r\nxyz\r\n--B--\r\n"},
      {"no closing delimiter", "--B\r\nA: b\r\n\r\nxyz and nothing more"},
      {"delimiter ends the body", "--B\r\nA: b\r\n\r\nxyz\r\n--B"},
      {"truncated in header", "--B\r\nA: b"},
      {"truncated after CR", "--B\r\nA: b\r"},
      {"truncated after header line", "--B\r\nA: b\r\n"},
      {"truncated after boundary", "--B\r\n"},
      {"just the boundary", "--B"},
      {"invalid UTF-8 name", "--B\r\n\xff: b\r\n\r\nxyz\r\n--B--\r\n"},
      {"invalid UTF-8 value", "--B\r\nA: \xc3\x28\r\n\r\nxyz\r\n--B--\r\n"},
      {"truncated second part", "--B\r\nA: b\r\n\r\nxyz\r\n--B\r\nA: b\r\n\r\nno end"},
  };
  for (const auto& [name, body] : table) {
    SCOPED_TRACE(name);
    auto parts = parseMultipart(body, "B");
    ASSERT_FALSE(parts);
    EXPECT_EQ(parts.error(), MultipartParserError::malformedData);
  }
}

TEST(MultipartParserTest, EveryPrefixOfAGoodBodyFailsWithoutReadingPastIt) {
  const std::string good = field("form-data; name=\"a\"", "1") + field("form-data; name=\"b\"", "22") + kClose;
  ASSERT_TRUE(parseMultipart(good, kBoundary));
  // Each prefix is copied into its own allocation so the sanitizer sees any read past its end.
  for (std::size_t n = 0; n + 1 < good.size(); ++n) {
    SCOPED_TRACE(n);
    const std::vector<char> prefix(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(parseMultipart(std::string_view(prefix.data(), prefix.size()), kBoundary));
  }
}

TEST(MultipartParserTest, FindsTheFirstPartOfAFieldName) {
  const std::string body = field("form-data; name=\"file\"", "first") + field("form-data; name=\"file\"", "second") +
                           field("form-data; name=\"filename\"", "third") +
                           "------B0undary\r\nOther: x\r\n\r\nno disposition\r\n" + kClose;
  auto parts = parseMultipart(body, kBoundary);
  ASSERT_TRUE(parts);
  EXPECT_EQ(multipartPart("file", *parts), "first");
  EXPECT_EQ(multipartPart("filename", *parts), "third");
  EXPECT_EQ(multipartPart("fil", *parts), std::nullopt);
  EXPECT_EQ(multipartPart("File", *parts), std::nullopt);
  EXPECT_EQ(multipartPart("x", std::vector<Multipart>{}), std::nullopt);
}

TEST(MultipartParserTest, ReadsDispositionParametersPieceByPiece) {
  EXPECT_EQ(parseDispositionParameters("form-data; name=\"file\"; filename=\"a.sb3\""),
            (MultipartHeaders{{"name", "file"}, {"filename", "a.sb3"}}));
  // A value holding "=" is cut there and keeps its opening quote.
  EXPECT_EQ(parseDispositionParameters("form-data; name=\"a=b\""), (MultipartHeaders{{"name", "\"a"}}));
  // A piece of only "=" and empty pieces change nothing.
  EXPECT_EQ(parseDispositionParameters("form-data;;=; ==;name=x"), (MultipartHeaders{{"name", "x"}}));
  // A lone word removes the entry of exactly that word; " name" is not "name".
  EXPECT_EQ(parseDispositionParameters("name=x;name"), MultipartHeaders{});
  EXPECT_EQ(parseDispositionParameters("name=x; name"), (MultipartHeaders{{"name", "x"}}));
  // Keys are trimmed, values are not; a lone quote is emptied.
  EXPECT_EQ(parseDispositionParameters(" \tname = v ;q=\""), (MultipartHeaders{{"name", " v "}, {"q", ""}}));
  EXPECT_EQ(parseHeaderParameter(std::nullopt, "a=1"), (MultipartHeaders{{"a", "1"}}));
  EXPECT_EQ(parseHeaderParameter(MultipartHeaders{{"a", "1"}}, "a"), MultipartHeaders{});
  EXPECT_EQ(parseHeaderParameter(MultipartHeaders{{"a", "1"}}, "="), (MultipartHeaders{{"a", "1"}}));
}

TEST(MultipartParserTest, TakesTheBoundaryAfterTheLastEqualsSign) {
  EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=----WebKitFormBoundaryX"), "----WebKitFormBoundaryX");
  EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=abc"), std::nullopt);  // must begin with "--"
  EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=\"--abc\""), std::nullopt);
  EXPECT_EQ(multipartBoundary(""), std::nullopt);
  EXPECT_EQ(multipartBoundary("==="), std::nullopt);
  EXPECT_EQ(multipartBoundary("a=--x=="), "--x");
}

TEST(MultipartParserTest, ParsesWhatABrowserSends) {
  const auto boundary = multipartBoundary("multipart/form-data; boundary=----WebKitFormBoundary7MA4YWxkTrZu0gW");
  ASSERT_TRUE(boundary);
  const std::string body =
      "------WebKitFormBoundary7MA4YWxkTrZu0gW\r\n"
      "Content-Disposition: form-data; name=\"file\"; filename=\"blob\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n"
      "PK\x03\x04 zip bytes\r\n"
      "------WebKitFormBoundary7MA4YWxkTrZu0gW--\r\n";
  auto parts = parseMultipart(body, *boundary);
  ASSERT_TRUE(parts);
  EXPECT_EQ(multipartPart("file", *parts), "PK\x03\x04 zip bytes");
}

TEST(MultipartParserTest, StopsAtThePartAndHeaderLineLimits) {
  auto emptyParts = [](std::size_t count) {
    std::string body = "----b";
    for (std::size_t i = 0; i < count; ++i) body += "\r\n\r\n\r\n----b";
    return body + "--\r\n";
  };
  auto fits = locateMultipart(emptyParts(kMaxMultipartParts), "--b");
  ASSERT_TRUE(fits);
  EXPECT_EQ(fits->size(), kMaxMultipartParts);
  auto over = locateMultipart(emptyParts(kMaxMultipartParts + 1), "--b");
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), MultipartParserError::tooManyParts);
  // A bomb of a million parts stops at the limit without reading on.
  EXPECT_EQ(locateMultipart(emptyParts(1000000), "--b").error(), MultipartParserError::tooManyParts);

  std::string manyHeaders = "----b\r\n";
  for (std::size_t i = 0; i <= kMaxMultipartHeaderLines; ++i) manyHeaders += "X-" + std::to_string(i) + ": v\r\n";
  manyHeaders += "\r\ndata\r\n----b--\r\n";
  EXPECT_EQ(locateMultipart(manyHeaders, "--b").error(), MultipartParserError::tooManyParts);
}

}  // namespace
}  // namespace kestrom

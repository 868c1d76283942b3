#include <gtest/gtest.h>

#include "KestromKit/server/WebServerRequestParser.h"

namespace kestrom {
namespace {

TEST(WebServerRequestParserTest, RootTargetBecomesTheIndexPage) {
  auto head = parseRequestHead("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->method, WebServerRequestMethod::get);
  EXPECT_EQ(head->path, "/index.html");
  EXPECT_EQ(head->pathParts, std::vector<std::string>{"index.html"});
  EXPECT_EQ(head->headers.at("Host"), "localhost");
}

TEST(WebServerRequestParserTest, QueryItemsAndPathPartsComeFromTheTarget) {
  auto head = parseRequestHead("GET /content/a/manifest.json?x=1&y=a%20b&flag HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->path, "/content/a/manifest.json");
  EXPECT_EQ(head->pathParts, (std::vector<std::string>{"content", "a", "manifest.json"}));
  EXPECT_EQ(head->urlComponents.queryValue("x"), "1");
  EXPECT_EQ(head->urlComponents.queryValue("y"), "a b");
  auto items = head->urlComponents.queryItems();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[2].name, "flag");
  EXPECT_FALSE(items[2].value);
  EXPECT_EQ(head->urlComponents.query(), "x=1&y=a b&flag");

  auto plain = parseRequestHead("GET /a HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->urlComponents.query());
}

TEST(WebServerRequestParserTest, MethodWordIsCaseSensitive) {
  const std::pair<const char*, WebServerRequestMethod> cases[] = {
      {"GET", WebServerRequestMethod::get},       {"POST", WebServerRequestMethod::post},
      {"OPTIONS", WebServerRequestMethod::options}, {"get", WebServerRequestMethod::unknown},
      {"HEAD", WebServerRequestMethod::head},      {"PUT", WebServerRequestMethod::unknown},
  };
  for (const auto& [word, method] : cases) {
    SCOPED_TRACE(word);
    auto head = parseRequestHead(std::string(word) + " /x HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->method, method);
    EXPECT_EQ(rawValue(head->method), method == WebServerRequestMethod::unknown ? "UNKNOWN" : word);
  }
}

TEST(WebServerRequestParserTest, UnusableHeadsGiveNoRequest) {
  const char* cases[] = {
      "",
      "GET",
      "GET /\r\n\r\n",                   // first line of nine characters
      "GET/ HTTP/1.1\r\n\r\n",           // no blank between method and target
      "GET /a b HTTP/1.1\r\n\r\n",       // a blank in the target
      "GET /%zz HTTP/1.1\r\n\r\n",       // a broken escape
      "GET /%ff HTTP/1.1\r\n\r\n",       // a path that decodes to no UTF-8
      "GET /<x> HTTP/1.1\r\n\r\n",       // characters a URL may not carry
      "GET https://evil/ HTTP/1.1\r\n\r\n",  // a scheme we do not serve
      "GET http:///x HTTP/1.1\r\n\r\n",      // an absolute form without an authority
      "GET /a#b#c HTTP/1.1\r\n\r\n",
      "GET /x HTTP/1.1\r\nX-A: 1\r\nno colon here\r\n\r\n",
  };
  for (const char* bytes : cases) {
    SCOPED_TRACE(bytes);
    EXPECT_FALSE(parseRequestHead(bytes));
  }
  // NUL is UTF-8, but no token character: a method with it (or any control character) is malformed.
  EXPECT_FALSE(parseRequestHead(std::string_view("GE\0 /x HTTP/1.1\r\n\r\n", 19)));
  EXPECT_FALSE(parseRequestHead("FOO\x01 /x HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(parseRequestHead("G\tT /x HTTP/1.1\r\n\r\n"));
  // A token the server does not know is a request all the same, of an unknown method.
  auto unknown = parseRequestHead("FOO /x HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->method, WebServerRequestMethod::unknown);
  EXPECT_TRUE(parseRequestHead("M-SEARCH! /x HTTP/1.1\r\n\r\n"));
}

TEST(WebServerRequestParserTest, HeadersKeepNamesTrimValuesAndLetTheLaterWin) {
  auto head = parseRequestHead(
      "GET /x HTTP/1.1\r\nX-A: \t one \t\r\nX-B:two:three\r\nX-A: later\r\nx-a: lower\r\n\r\n");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->headers.size(), 3u);
  EXPECT_EQ(head->headers.at("X-A"), "later");
  EXPECT_EQ(head->headers.at("x-a"), "lower");
  EXPECT_EQ(head->headers.at("X-B"), "two:three");
  EXPECT_EQ(headerValuesIgnoringCase(head->headers, "X-A").size(), 2u);
}

TEST(WebServerRequestParserTest, HeadWithoutBlankLineLosesItsLastFourBytes) {
  std::string bytes = "GET /x HTTP/1.1\r\nX-A: abcdefgh";
  auto head = parseRequestHead(bytes);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->headers.at("X-A"), "abcd");
  EXPECT_EQ(head->bodyOffset, bytes.size());  // so the body is empty
}

TEST(WebServerRequestParserTest, BodyStartsAfterTheBlankLine) {
  std::string bytes = "POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd";
  auto head = parseRequestHead(bytes);
  ASSERT_TRUE(head);
  EXPECT_EQ(std::string_view(bytes).substr(head->bodyOffset), "abcd");
  EXPECT_EQ(declaredContentLength(head->headers), 10);
}

TEST(WebServerRequestParserTest, LinesThatAreNotUtf8AreDropped) {
  auto head = parseRequestHead("GET /x HTTP/1.1\r\nX-Bad: \xff\xfe\r\nX-Good: yes\r\n\r\n");
  ASSERT_TRUE(head);
  EXPECT_FALSE(head->headers.contains("X-Bad"));
  EXPECT_EQ(head->headers.at("X-Good"), "yes");
}

TEST(WebServerRequestParserTest, PathIsDecodedButNotJudged) {
  // Traversal is the path checker's business; the parser only decodes once.
  auto head = parseRequestHead("GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->path, "/../../etc/passwd");
  auto doubled = parseRequestHead("GET /%252e HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(doubled);
  EXPECT_EQ(doubled->path, "/%2e");
}

TEST(WebServerRequestParserTest, ContentLengthIsReadInAnyLetterCase) {
  const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
      {"10", 10}, {"+5", 5}, {"-3", -3}, {"0", 0}, {"1e3", std::nullopt}, {"", std::nullopt},
      {"12abc", std::nullopt}, {"99999999999999999999", std::nullopt}, {"9223372036854775807", INT64_MAX},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(declaredContentLength({{"Content-Length", text}}), expected);
  }
  EXPECT_EQ(declaredContentLength({{"content-length", "10"}}), 10);
  EXPECT_EQ(declaredContentLength({{"CONTENT-LENGTH", "7"}}), 7);
}

TEST(WebServerRequestParserTest, ASecondHostOriginOrContentLengthMakesTheHeadUnusable) {
  const char* heads[] = {
      "GET / HTTP/1.1\r\nHost: evil\r\nHost: localhost:1\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: localhost:1\r\nHOST: localhost:1\r\n\r\n",
      "GET / HTTP/1.1\r\nOrigin: http://a\r\norigin: http://b\r\n\r\n",
      "POST / HTTP/1.1\r\nContent-Length: 1\r\ncontent-length: 1\r\n\r\nx",
  };
  for (const char* head : heads) {
    SCOPED_TRACE(head);
    EXPECT_FALSE(parseRequestHead(head));
  }
  auto single = parseRequestHead("GET / HTTP/1.1\r\nhost: localhost:1\r\norigin: http://a\r\nX-A: 1\r\nX-A: 2\r\n\r\n");
  ASSERT_TRUE(single);
  EXPECT_EQ(single->headers.at("X-A"), "2");  // other names: the later line wins, as before
}

TEST(WebServerRequestParserTest, FindsTheHeadEndFromWhereAnAppendResumes) {
  std::string bytes = "GET / HTTP/1.1\r\n\r";
  EXPECT_FALSE(findHeadEnd(bytes));
  bytes += "\nbody";
  EXPECT_EQ(findHeadEnd(bytes, bytes.size() - 8), 14u);
}

}  // namespace
}  // namespace kestrom

#include "KestromKit/model/URLString.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrom {
namespace {

TEST(URLTextTest, AcceptsOnlyWhatAURLMayCarry) {
  for (const std::string& good : std::vector<std::string>{"http://localhost:8080/a/b.srt?x=1#f", "/content/en-US/a.srt", "a.srt",
                                 "https://cdn.example/v%20x.mp4", "mailto:a@b.c", "file:///tmp/x", "#only"}) {
    SCOPED_TRACE(good);
    EXPECT_TRUE(isURLText(good));
  }
  for (const std::string& bad : std::vector<std::string>{"", "a b", "http://x/\"q\"", "<a>", "a\\b", "a^b", "a`b", "a{b}", "a|b", "%", "%4",
                                "%zz", "a#b#c", "caf\xC3\xA9", std::string("a\0b", 3), "a\nb"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(isURLText(bad));
  }
}

TEST(URLTextTest, GivesTheDecodedPathOfAURL) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> table{
      {"http://localhost:8080/content/a%20b.srt?x=1#f", "/content/a b.srt"},
      {"/content/en-US/a.srt", "/content/en-US/a.srt"},
      {"a/b.srt", "a/b.srt"},
      {"file:///tmp/x.srt", "/tmp/x.srt"},
      {"http://host", ""},
      {"http://host/a/", "/a"},
      {"/", "/"},
      {"a:b/c", "b/c"},
      {"1a:b/c", "1a:b/c"},  // not a scheme
      {"/x/y:z", "/x/y:z"},
      {"/a%2F..%2Fb", "/a/../b"},  // decoded here; the path checker refuses it later
      {"a b", std::nullopt},
  };
  for (const auto& [url, path] : table) {
    SCOPED_TRACE(url);
    EXPECT_EQ(urlPath(url), path);
  }
}

TEST(URLTextTest, ReadsURLFieldsOnlyWhenTheyAreURLText) {
  EXPECT_EQ(decode<URLString>(Json("http://a/b")), URLString{"http://a/b"});
  EXPECT_FALSE(decode<URLString>(Json("not a url")));
  EXPECT_FALSE(decode<URLString>(Json(1)));
  EXPECT_EQ(encode(URLString{"http://a/b"}), Json("http://a/b"));
}

}  // namespace
}  // namespace kestrom

#include "KestromKit/server/ContentTypes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrom {
namespace {

struct TypeCase {
  std::string name;
  std::string type;
};

TEST(ContentTypesTest, EveryExtensionOfTheTableHasItsType) {
  const std::vector<TypeCase> table{
      {"a.svg", "image/svg+xml"},
      {"a.json", "application/json"},
      {"a.js", "application/json"},
      {"a.sb3", "application/zip"},
      {"a.mp4", "video/mp4"},
      {"a.vtt", "text/vtt"},
      {"a.webvtt", "text/vtt"},
      {"a.htm", "text/html"},
      {"a.html", "text/html"},
      {"a.png", "image/png"},
      {"a.woff2", "font/woff2"},
      {"a.mp3", "audio/mpeg"},
      {"a.css", "text/css"},
      {"a.otf", "font/otf"},
      {"a.py", "text/x-python"},
      {"a.sh", "text/x-shellscript"},
      {"a.bin", "application/octet-stream"},
      {"a.cur", "image/x-icon"},
      {"a.eot", "application/vnd.ms-fontobject"},
      {"a.gif", "image/gif"},
      {"a.map", "application/octet-stream"},
      {"a.mpy", "text/plain"},
      {"a.ogg", "audio/ogg"},
      {"a.raw", "application/octet-stream"},
      {"a.ttf", "application/x-font-ttf"},
      {"a.wav", "audio/wav"},
  };
  ASSERT_EQ(table.size(), 26u);
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(contentTypeForFileName(c.name), c.type);
  }
}

TEST(ContentTypesTest, OnlyTheLastDotPieceCountsAndItsCaseDoesNot) {
  const std::vector<TypeCase> table{
      {"/index.html", "text/html"},
      {"/static/js/app.JS", "application/json"},
      {"Movie.Mp4", "video/mp4"},
      {"/content/en-US/manifest.json", "application/json"},
      {"archive.tar.gz", "text/plain"},
      {"README", "text/plain"},
      {"json", "application/json"},  // no dot: the whole text is the extension
      {"", "text/plain"},
      {"...", "text/plain"},
      {"a.json.", "application/json"},  // trailing dots make empty pieces, which are dropped
      {"docs.old/readme", "text/plain"},
      {"subtitle.srt", "text/plain"},
      {"a.jsonx", "text/plain"},
      {"a.xjson", "text/plain"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(contentTypeForFileName(c.name), c.type);
  }
}

}  // namespace
}  // namespace kestrom

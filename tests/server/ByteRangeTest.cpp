#include "KestromKit/server/ByteRange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrom {
namespace {

using Kind = ByteRangeSelection::Kind;

struct RangeCase {
  std::string range;
  std::uint64_t length;
  ByteRangeSelection expected;
};

TEST(ByteRangeTest, SelectsSingleRangesAsHttpDefinesThem) {
  const ByteRangeSelection whole{Kind::whole, 0, 0};
  const ByteRangeSelection unsatisfiable{Kind::unsatisfiable, 0, 0};
  const std::vector<RangeCase> table{
      {"bytes=0-99", 1000, {Kind::part, 0, 99}},
      {"bytes=0-1", 1000, {Kind::part, 0, 1}},
      {"bytes=0-999", 1000, {Kind::part, 0, 999}},
      {"bytes=0-0", 1000, {Kind::part, 0, 0}},
      {"bytes=999-999", 1000, {Kind::part, 999, 999}},
      {"bytes=100-", 1000, {Kind::part, 100, 999}},
      {"bytes=0-", 1000, {Kind::part, 0, 999}},
      {"bytes=-100", 1000, {Kind::part, 900, 999}},
      {"bytes=-1000", 1000, {Kind::part, 0, 999}},
      {"bytes=-5000", 1000, {Kind::part, 0, 999}},
      // An end past the file is clamped to its last byte.
      {"bytes=0-1000", 1000, {Kind::part, 0, 999}},
      {"bytes=500-99999999999999999999999", 1000, {Kind::part, 500, 999}},
      {"bytes=-99999999999999999999999", 1000, {Kind::part, 0, 999}},
      // Unit names are case-insensitive; blanks around list elements and empty elements are allowed.
      {"Bytes=1-2", 10, {Kind::part, 1, 2}},
      {"bytes= 1-2 ", 10, {Kind::part, 1, 2}},
      {"bytes=,1-2,", 10, {Kind::part, 1, 2}},
      // A start at or past the end, a zero suffix, any range of an empty file, a reversed range.
      {"bytes=1000-", 1000, unsatisfiable},
      {"bytes=1000-1001", 1000, unsatisfiable},
      {"bytes=5000-6000", 1000, unsatisfiable},
      {"bytes=99999999999999999999999-", 1000, unsatisfiable},
      {"bytes=-0", 1000, unsatisfiable},
      {"bytes=0-", 0, unsatisfiable},
      {"bytes=-10", 0, unsatisfiable},
      {"bytes=500-100", 1000, unsatisfiable},
      // Not one byte range: ignored.
      {"", 1000, whole},
      {"bytes=", 1000, whole},
      {"bytes=-", 1000, whole},
      {"bytes=abc", 1000, whole},
      {"bytes=1-x", 1000, whole},
      {"bytes=x-1", 1000, whole},
      {"bytes=+1-2", 1000, whole},
      {"bytes=-+2", 1000, whole},
      {"bytes=1 -2", 1000, whole},
      {"bytes=1-2-3", 1000, whole},
      {"bytes=0-1,5-6", 1000, whole},
      {"items=0-1", 1000, whole},
      {"0-1", 1000, whole},
      {"bytes 0-1", 1000, whole},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.range + " of " + std::to_string(c.length));
    EXPECT_EQ(selectByteRange(c.range, c.length), c.expected);
  }
}

TEST(ByteRangeTest, CountsTheSelectedBytes) {
  EXPECT_EQ(selectByteRange("bytes=0-1", 1000).count(), 2u);
  EXPECT_EQ(selectByteRange("bytes=-100", 1000).count(), 100u);
  EXPECT_EQ(selectByteRange("bytes=5000-", 1000).count(), 0u);
}

}  // namespace
}  // namespace kestrom

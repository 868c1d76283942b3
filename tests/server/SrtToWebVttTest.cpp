#include "KestromKit/server/SrtToWebVtt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrom {
namespace {

struct SrtCase {
  std::string name;
  std::string srt;
  std::string vtt;
};

TEST(SrtToWebVttTest, ConvertsCuesKeepingEveryTextLine) {
  const std::vector<SrtCase> table{
      {"CR LF cue", "1\r\n00:00:01,000 --> 00:00:02,500\r\nHello\r\n",
       "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.500\nHello\n\n"},
      {"two text lines", "1\n00:00:01,000 --> 00:00:02,000\nfirst line\nsecond line\n",
       "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\nfirst line\nsecond line\n\n"},
      {"four text lines", "7\n00:01:00,000 --> 00:01:02,000\na\nb\nc\nd",
       "WEBVTT\n\n7\n00:01:00.000 --> 00:01:02.000\na\nb\nc\nd\n\n"},
      {"no identifier", "00:00:01,000 --> 00:00:02,000\ntext\n\n00:00:03,000 --> 00:00:04,000\nmore",
       "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\ntext\n\n00:00:03.000 --> 00:00:04.000\nmore\n\n"},
      {"byte-order mark", "\xEF\xBB\xBF"
                          "1\r\n00:00:01,000 --> 00:00:02,000\r\nHi\r\n",
       "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\nHi\n\n"},
      {"white space around the file", " \t\n\n1\n00:00:01,000 --> 00:00:02,000\nHi\n\n\n \xC2\xA0",
       "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\nHi\n\n"},
      {"three line feeds between cues", "1\n00:00:01,000 --> 00:00:02,000\na\n\n\n2\n00:00:03,000 --> 00:00:04,000\nb",
       "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\na\n\n2\n00:00:03.000 --> 00:00:04.000\nb\n\n"},
      {"many blank lines", "1\n00:00:01,000 --> 00:00:02,000\na\n\n\n\n\n\n2\n00:00:03,000 --> 00:00:04,000\nb",
       "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\na\n\n2\n00:00:03.000 --> 00:00:04.000\nb\n\n"},
      {"UTF-8 text", "1\n00:00:01,000 --> 00:00:02,000\nGrüße 🙂",
       "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\nGrüße 🙂\n\n"},
      {"empty file", "", "WEBVTT\n\n"},
      {"only white space", "\r\n\r\n  \n", "WEBVTT\n\n"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(convertSrtToWebVtt(c.srt), c.vtt);
  }
}

TEST(SrtToWebVttTest, KeepsCuesWithLoneCarriageReturnsPositionsOrArrowsInTheirText) {
  const std::vector<SrtCase> table{
      {"lone CR line ends", "1\r00:00:01,000 --> 00:00:02,000\rHello\r\r2\r00:00:03,000 --> 00:00:04,000\rWorld\r",
       "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\nHello\n\n2\n00:00:03.000 --> 00:00:04.000\nWorld\n\n"},
      {"position after the end time", "1\n00:00:05,000 --> 00:00:06,000 X1:40 X2:600 Y1:20 Y2:50\nPlaced\n",
       "WEBVTT\n\n1\n00:00:05.000 --> 00:00:06.000\nPlaced\n\n"},
      {"CR CR LF, line ends converted twice, one break each",
       "1\r\r\n00:00:01,000 --> 00:00:02,000\r\r\nHello\r\r\n\r\r\n",
       "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\nHello\n\n"},
      {"arrow in the text", "1\n00:00:01,000 --> 00:00:02,000\nA --> B\n-->\n",
       "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\nA --&gt; B\n--&gt;\n\n"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(convertSrtToWebVtt(c.srt), c.vtt);
  }
}

TEST(SrtToWebVttTest, DropsBlocksThatAreNotCuesAndKeepsTheRest) {
  const std::string good = "9\n00:00:09,000 --> 00:00:10,000\nkept\n";
  const std::string kept = "9\n00:00:09.000 --> 00:00:10.000\nkept\n\n";
  const std::vector<std::pair<std::string, std::string>> blocks{
      {"identifier and timing without text", "1\n00:00:01,000 --> 00:00:02,000"},
      {"timing alone", "00:00:01,000 --> 00:00:02,000"},
      {"one word", "hello"},
      {"timing without hours", "1\n00:01,000 --> 00:02,000\ntext"},
      {"timing without arrow", "1\n00:00:01,000 - 00:00:02,000\ntext"},
      {"timing on the third line", "1\nx\n00:00:01,000 --> 00:00:02,000\ntext"},
      {"reversed times", "1\n00:00:05,000 --> 00:00:01,000\ntext"},  // kept: not ours to judge
      {"lone arrow", "-->"},
      {"colons only", "::::\n::::"},
  };
  for (const auto& [name, block] : blocks) {
    SCOPED_TRACE(name);
    auto vtt = convertSrtToWebVtt(block + "\n\n" + good);
    ASSERT_TRUE(vtt);
    if (name == "reversed times") {
      EXPECT_EQ(*vtt, "WEBVTT\n\n1\n00:00:05.000 --> 00:00:01.000\ntext\n\n" + kept);
    } else {
      EXPECT_EQ(*vtt, "WEBVTT\n\n" + kept);
    }
  }
}

TEST(SrtToWebVttTest, RefusesTextThatIsNotUtf8) {
  EXPECT_EQ(convertSrtToWebVtt("1\n00:00:01,000 --> 00:00:02,000\n\xff\xfe"), std::nullopt);
  EXPECT_EQ(convertSrtToWebVtt("\xC0\x80"), std::nullopt);  // overlong NUL
  EXPECT_EQ(convertSrtToWebVtt("\xED\xA0\x80"), std::nullopt);  // surrogate
}

}  // namespace
}  // namespace kestrom

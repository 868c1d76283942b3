#include "KestromKit/host/HexColor.h"

#include <gtest/gtest.h>

namespace kestrom {
namespace {

TEST(HexColorTest, ReadsThreeSixAndEightDigitForms) {
  struct Case {
    const char* text;
    RGBAColor expected;
  };
  const Case cases[] = {
      {"#FFF", {1, 1, 1, 1}},
      {"#fff", {1, 1, 1, 1}},
      {"80FF0000", {1, 0, 0, 128 / 255.0}},
      {"#3366CC", {0x33 / 255.0, 0x66 / 255.0, 0xCC / 255.0, 1}},
      {"  #3366cc;  ", {0x33 / 255.0, 0x66 / 255.0, 0xCC / 255.0, 1}},
      {"#123", {0x11 / 255.0, 0x22 / 255.0, 0x33 / 255.0, 1}},
      {"12345", {0, 0, 0, 1}},
      {"", {0, 0, 0, 1}},
      {"#", {0, 0, 0, 1}},
      {"GGGGGG", {0, 0, 0, 1}},
      {"12GG56", {0, 0, 0x12 / 255.0, 1}},  // scanning stops at the first non-digit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto color = hexColor(c.text);
    EXPECT_DOUBLE_EQ(color.red, c.expected.red);
    EXPECT_DOUBLE_EQ(color.green, c.expected.green);
    EXPECT_DOUBLE_EQ(color.blue, c.expected.blue);
    EXPECT_DOUBLE_EQ(color.alpha, c.expected.alpha);
  }
}

}  // namespace
}  // namespace kestrom

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_set>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"

namespace kestrom {
namespace {

JSONAny read(std::string_view text) {
  auto decoded = decodeText<JSONAny>(text);
  EXPECT_TRUE(decoded.has_value()) << text;
  return decoded ? *decoded : JSONAny{};
}

TEST(JSONAnyTest, NumbersReadAsInt64OrDoubleAndWriteBackTheSameNumber) {
  struct Case {
    const char* text;
    Json::value_t type;
  };
  const Case cases[] = {
      {"5", Json::value_t::number_integer},
      {"-5", Json::value_t::number_integer},
      {"5.5", Json::value_t::number_float},
      {"5.0", Json::value_t::number_integer},  // a whole number, written with a fraction
      {"1e2", Json::value_t::number_integer},
      {"-0.0", Json::value_t::number_float},
      {"9223372036854775807", Json::value_t::number_integer},
      {"-9223372036854775808", Json::value_t::number_integer},
      {"9223372036854775808", Json::value_t::number_float},   // just past int64
      {"18446744073709551615", Json::value_t::number_float},  // uint64 max
      {"1e300", Json::value_t::number_float},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    JSONAny value = read(c.text);
    EXPECT_EQ(value.value.type(), c.type);
    auto written = encode(value);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->get<double>(), Json::parse(c.text).get<double>());
  }
  EXPECT_EQ(read("5").value.get<std::int64_t>(), 5);
  EXPECT_EQ(read("5.5").value.get<double>(), 5.5);
  EXPECT_TRUE(std::signbit(read("-0.0").value.get<double>()));
}

TEST(JSONAnyTest, BooleansStayBooleans) {
  EXPECT_TRUE(read("true").value.is_boolean());
  EXPECT_EQ(read("true").value, Json(true));
  EXPECT_EQ(read("false").value, Json(false));
  EXPECT_NE(read("true"), read("1"));
}

TEST(JSONAnyTest, TopLevelNullReadsAndWritesAsNull) {
  JSONAny value = read("null");
  EXPECT_TRUE(value.value.is_null());
  auto written = encode(value);
  ASSERT_TRUE(written.has_value());
  EXPECT_TRUE(written->is_null());
}

TEST(JSONAnyTest, NestedListsAndTablesKeepEveryShapeAndKey) {
  JSONAny value = read(R"([1, "text", null, {"a b": [2.5, {"9 lives": true}], "": {}, "1st": []}])");
  const Json& list = value.value;
  ASSERT_TRUE(list.is_array());
  ASSERT_EQ(list.size(), 4u);
  EXPECT_TRUE(list[0].is_number_integer());
  EXPECT_TRUE(list[1].is_string());
  EXPECT_TRUE(list[2].is_null());
  ASSERT_TRUE(list[3].is_object());
  EXPECT_TRUE(list[3].contains("a b"));
  EXPECT_TRUE(list[3].contains(""));
  EXPECT_TRUE(list[3].contains("1st"));
  EXPECT_EQ(list[3]["a b"][1]["9 lives"], Json(true));

  auto written = encode(value);
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(*written, list);
}

TEST(JSONAnyTest, EncodingANonFiniteNumberFailsAnywhereInside) {
  const Json values[] = {
      Json(std::numeric_limits<double>::quiet_NaN()),
      Json::array({1, std::numeric_limits<double>::infinity()}),
      Json::object({{"deep", Json::object({{"x", -std::numeric_limits<double>::infinity()}})}}),
  };
  for (const auto& v : values) {
    auto written = encode(JSONAny(v));
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().kind, CodingError::Kind::invalidValue);
    EXPECT_EQ(written.error().message, "Cannot encode JSONAny");
  }
}

TEST(JSONAnyTest, AsARecordFieldNullIsAValueButAMissingKeyIsNot) {
  struct Holder {
    JSONAny value;
    static constexpr auto codingFields() { return std::tuple{field("value", &Holder::value)}; }
  };
  auto withNull = decodeText<Holder>(R"({"value":null})");
  ASSERT_TRUE(withNull.has_value());
  EXPECT_TRUE(withNull->value.value.is_null());
  auto missing = decodeText<Holder>("{}");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, CodingError::Kind::keyNotFound);
}

TEST(JSONNullTest, ReadsOnlyNull) {
  EXPECT_TRUE(decodeText<JSONNull>("null").has_value());
  for (const char* text : {"0", "false", "\"\"", "[]", "{}"}) {
    SCOPED_TRACE(text);
    auto decoded = decodeText<JSONNull>(text);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind, CodingError::Kind::typeMismatch);
    EXPECT_EQ(decoded.error().message, "Wrong type for JSONNull");
  }
  auto written = encode(JSONNull{});
  ASSERT_TRUE(written.has_value());
  EXPECT_TRUE(written->is_null());
}

TEST(JSONNullTest, AllNullsAreEqualAndHashToZero) {
  EXPECT_EQ(JSONNull{}, JSONNull{});
  EXPECT_EQ(std::hash<JSONNull>{}(JSONNull{}), 0u);
  std::unordered_set<JSONNull> set{JSONNull{}, JSONNull{}};
  EXPECT_EQ(set.size(), 1u);
}

}  // namespace
}  // namespace kestrom

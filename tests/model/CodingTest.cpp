#include <gtest/gtest.h>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/JSONAny.h"

namespace kestrom {
namespace {

enum class Colour { red, darkBlue };

}  // namespace

template <>
struct EnumTable<Colour> {
  static constexpr std::array<std::pair<Colour, std::string_view>, 2> values{
      {{Colour::red, "red"}, {Colour::darkBlue, "dark-blue"}}};
};

namespace {

struct Inner {
  std::string name;
  std::optional<std::string> metadata;
  static constexpr auto codingFields() {
    using S = Inner;
    return std::tuple{field("name", &S::name), field("metadata", &S::metadata)};
  }
};

struct Outer {
  std::string tmpID;
  double rate = 0;
  Colour colour = Colour::red;
  std::optional<std::vector<std::string>> tags;
  Inner inner;
  std::map<std::string, JSONAny> extra;
  static constexpr auto codingFields() {
    using S = Outer;
    return std::tuple{field("tmpId", &S::tmpID), field("rate", &S::rate), field("colour", &S::colour),
                      field("tags", &S::tags), field("inner", &S::inner), field("extra", &S::extra)};
  }
};

Json sample() {
  return Json::parse(R"({"tmpId":"t1","rate":2,"colour":"dark-blue","inner":{"name":"n"},"extra":{"a":null}})");
}

TEST(CodingTest, RequiredFieldsFailByKindAndNameTheirPath) {
  struct Case {
    const char* name;
    std::string pointer;
    Json replacement;  // discarded means: remove the key
    CodingError::Kind kind;
    const char* path;
  };
  const Json removed = Json(Json::value_t::discarded);
  const std::vector<Case> cases = {
      {"missing", "/tmpId", removed, CodingError::Kind::keyNotFound, ""},
      {"null", "/tmpId", nullptr, CodingError::Kind::valueNotFound, "tmpId"},
      {"wrong type", "/rate", "2", CodingError::Kind::typeMismatch, "rate"},
      {"bool is no number", "/rate", true, CodingError::Kind::typeMismatch, "rate"},
      {"enum case differs", "/colour", "Dark-Blue", CodingError::Kind::dataCorrupted, "colour"},
      {"nested missing", "/inner/name", removed, CodingError::Kind::keyNotFound, "inner"},
      {"optional wrong type", "/tags", 5, CodingError::Kind::typeMismatch, "tags"},
      {"optional element wrong", "/tags", Json::array({"a", 1}), CodingError::Kind::typeMismatch, "tags.[1]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json j = sample();
    auto ptr = Json::json_pointer(c.pointer);
    if (c.replacement.is_discarded())
      j[ptr.parent_pointer()].erase(ptr.back());
    else
      j[ptr] = c.replacement;
    auto decoded = decode<Outer>(j);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind, c.kind);
    EXPECT_EQ(decoded.error().path, c.path);
  }
}

TEST(CodingTest, OptionalsReadMissingOrNullAsEmptyAndAreLeftOut) {
  Json j = sample();
  j["tags"] = nullptr;
  j["unknown"] = 1;
  auto decoded = decode<Outer>(j);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().description();
  EXPECT_FALSE(decoded->tags.has_value());
  EXPECT_EQ(decoded->colour, Colour::darkBlue);
  auto written = encode(*decoded);
  ASSERT_TRUE(written.has_value());
  EXPECT_FALSE(written->contains("tags"));
  EXPECT_FALSE((*written)["inner"].contains("metadata"));
  EXPECT_EQ(*written, sample());
}

TEST(CodingTest, NonFiniteNumbersFailTheEncoding) {
  auto d = decode<Outer>(sample());
  ASSERT_TRUE(d.has_value());
  d->rate = std::numeric_limits<double>::quiet_NaN();
  auto written = encode(*d);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, CodingError::Kind::invalidValue);
  d->rate = 1;
  d->extra["x"] = JSONAny(Json(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(encode(*d).has_value());
}

TEST(CodingTest, ParseRefusesDeepNestingGarbageAndBadUtf8) {
  EXPECT_TRUE(parseJson(std::string(512, '[') + std::string(512, ']')).has_value());
  EXPECT_FALSE(parseJson(std::string(513, '[') + std::string(513, ']')).has_value());
  EXPECT_FALSE(parseJson(std::string(100000, '[')).has_value());
  EXPECT_TRUE(parseJson(R"(["[[[[", "\"[["])").has_value());
  EXPECT_FALSE(parseJson("{\"a\": \"\xC3\"}").has_value());
  EXPECT_FALSE(parseJson("{\"a\": ").has_value());
  EXPECT_FALSE(parseJson("").has_value());
}

TEST(CodingTest, DumpReplacesInvalidUtf8) {
  Json j = {{"name", std::string("ab\xFF")}};
  auto reparsed = Json::parse(dumpJson(j));
  EXPECT_EQ(reparsed["name"], "ab\xEF\xBF\xBD");
}

TEST(CodingTest, IntegersRefuseFractionsAndOverflow) {
  EXPECT_EQ(*decode<std::int32_t>(Json(7)), 7);
  EXPECT_EQ(*decode<std::int32_t>(Json(7.0)), 7);
  EXPECT_FALSE(decode<std::int32_t>(Json(5.7)).has_value());
  EXPECT_FALSE(decode<std::int32_t>(Json(true)).has_value());
  EXPECT_FALSE(decode<std::uint16_t>(Json(70000)).has_value());
  EXPECT_FALSE(decode<std::uint16_t>(Json(-1)).has_value());
}

}  // namespace
}  // namespace kestrom

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "KestromKit/model/Coding.h"

namespace kestrom {
namespace {

// A random tree of every JSON kind, keys drawn from a small set so objects repeat none by chance.
Json randomTree(std::mt19937& rng, int depth) {
  std::uniform_int_distribution<int> kind(0, depth > 0 ? 8 : 5);
  switch (kind(rng)) {
    case 0: return nullptr;
    case 1: return rng() % 2 == 0;
    case 2: return static_cast<std::int64_t>(rng()) - (1ll << 31);
    case 3: return static_cast<double>(rng()) / 7.0;
    case 4: return std::string(rng() % 40, static_cast<char>('a' + rng() % 26)) + "\"\\\n\u00e9\U0001F600";
    case 5: return std::numeric_limits<std::uint64_t>::max() - rng() % 100;
    case 6:
    case 7: {
      Json object = Json::object();
      int n = static_cast<int>(rng() % 24);
      for (int i = 0; i < n; ++i)
        object["k" + std::to_string(i * 7 % 23) + std::to_string(rng() % 3)] = randomTree(rng, depth - 1);
      return object;
    }
    default: {
      Json array = Json::array();
      int n = static_cast<int>(rng() % 24);
      for (int i = 0; i < n; ++i) array.push_back(randomTree(rng, depth - 1));
      return array;
    }
  }
}

void expectSameTree(const Json& a, const Json& b) {
  // operator== on ordered_json compares objects in order, so key order is checked too.
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.dump(), b.dump());
}

TEST(JsonParseTest, BuildsTheSameTreeAsTheReferenceParser) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 200; ++i) {
    Json tree = randomTree(rng, 4);
    std::string text = tree.dump(i % 2 == 0 ? -1 : 2);
    SCOPED_TRACE(text.substr(0, 120));
    auto parsed = parseJson(text);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().description();
    expectSameTree(*parsed, Json::parse(text));
  }
  for (const char* text : {"0", "-0", "1.0", "1e2", "-1E-2", "18446744073709551615", "18446744073709551616",
                           "-9223372036854775809", "\"\"", "[]", "{}", " [ 1 , { } , [ ] ] ", "\"\\u0000\"",
                           "\"\\ud83d\\ude00\""}) {
    SCOPED_TRACE(text);
    auto parsed = parseJson(text);
    ASSERT_TRUE(parsed.has_value());
    expectSameTree(*parsed, Json::parse(text));
    EXPECT_EQ(parsed->type(), Json::parse(text).type());
  }
}

TEST(JsonParseTest, RefusesWhatTheReferenceParserRefuses) {
  for (const char* text : {"", "[", "]", "{\"a\"}", "{\"a\":}", "[1,]", "{\"a\":1,}", "01", "1.", ".5", "+1", "NaN",
                           "Infinity", "1e400", "-1e400", "'a'", "\"\\x\"", "\"\\ud800\"", "tru", "nul", "[1] [2]",
                           "/* c */ 1", "\"a\tb\"", "\"\xC3\"", "\"\xED\xA0\x80\"", "\"\xF8\x88\x80\x80\x80\""}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseJson(text).has_value());
    EXPECT_TRUE(Json::parse(text, nullptr, false).is_discarded());
  }
}

TEST(JsonParseTest, RepeatedKeysKeepTheFirstPlaceAndTheLastValue) {
  std::string small = R"({"a": 1, "b": 2, "a": {"x": [3]}})";
  auto parsed = parseJson(small);
  ASSERT_TRUE(parsed.has_value());
  expectSameTree(*parsed, Json::parse(small));
  EXPECT_EQ(parsed->begin().key(), "a");
  EXPECT_EQ((*parsed)["a"], Json::parse(R"({"x": [3]})"));

  std::string large = "{";
  for (int i = 0; i < 100; ++i) large += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
  large += R"("k3": "again", "k99": null})";
  parsed = parseJson(large);
  ASSERT_TRUE(parsed.has_value());
  expectSameTree(*parsed, Json::parse(large));
  EXPECT_EQ(parsed->size(), 100u);
  EXPECT_EQ((*parsed)["k3"], "again");
}

TEST(JsonParseTest, ManyKeysTakeLinearTime) {
  // The reference tree builder searches the keys for each new key: eight times the keys take it
  // sixty-four times as long. Compared with itself in the same run, so the machine's speed and
  // load (and a sanitizer) do not count; the best of three runs of each size. The bound is five
  // times a linear parser's ratio, as a large tree misses the caches more: under ThreadSanitizer
  // on a busy machine, eight times the keys once took 34 times as long.
  auto object = [](int keys) {
    std::string text = "{";
    for (int i = 0; i < keys; ++i) text += "\"key" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    return text + "\"last\":true}";
  };
  auto bestTime = [](const std::string& text, std::size_t size) {
    auto best = std::chrono::steady_clock::duration::max();
    for (int run = 0; run < 3; ++run) {
      auto start = std::chrono::steady_clock::now();
      auto parsed = parseJson(text);
      best = std::min(best, std::chrono::steady_clock::now() - start);
      EXPECT_TRUE(parsed && parsed->size() == size);
    }
    return std::chrono::duration<double>(best).count();
  };
  const double small = bestTime(object(20000), 20001);
  const double large = bestTime(object(160000), 160001);
  EXPECT_LT(large / small, 40.0) << small << " s for 20,000 keys, " << large << " s for 160,000";
}

TEST(JsonParseTest, NestingLimitCountsArraysAndObjectsAlike) {
  auto nested = [](int depth, bool objects) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += objects ? "{\"a\":" : "[";
    text += "1";
    for (int i = 0; i < depth; ++i) text += objects ? "}" : "]";
    return text;
  };
  for (bool objects : {false, true}) {
    SCOPED_TRACE(objects ? "objects" : "arrays");
    EXPECT_TRUE(parseJson(nested(kMaxJsonDepth, objects)).has_value());
    auto deep = parseJson(nested(kMaxJsonDepth + 1, objects));
    ASSERT_FALSE(deep.has_value());
    EXPECT_NE(deep.error().message.find("nests deeper"), std::string::npos);
  }
  // Brackets inside strings do not count.
  EXPECT_TRUE(parseJson("[\"" + std::string(1000, '[') + "\"]").has_value());
}

TEST(JsonParseTest, AFailedParseLeavesNothingBehindForTheNext) {
  EXPECT_FALSE(parseJson(R"({"a": [1, 2, {"b": )").has_value());
  EXPECT_FALSE(parseJson(std::string(600, '[')).has_value());
  std::string big = "[";
  for (int i = 0; i < 5000; ++i) big += "{\"k\":" + std::to_string(i) + "},";
  big += "0";  // unterminated
  EXPECT_FALSE(parseJson(big).has_value());
  auto parsed = parseJson(R"({"c": [true]})");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed, Json::parse(R"({"c": [true]})"));
}

}  // namespace
}  // namespace kestrom

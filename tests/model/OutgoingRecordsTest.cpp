// Every reply and notification record against the sample table: written exactly as the page
// expects, read back to the same value, required and optional keys behaving as declared.

#include <gtest/gtest.h>

#include "tests/support/MessageSamples.h"

namespace kestrom {
namespace {

using testing::recordSamples;
using testing::unordered;

// Whether every number below `j` is a double, skipping the untyped values of user settings.
bool numbersAreDoubles(const Json& j, bool insideSettings = false) {
  switch (j.type()) {
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return insideSettings;
    case Json::value_t::array:
      for (const auto& item : j)
        if (!numbersAreDoubles(item, insideSettings)) return false;
      return true;
    case Json::value_t::object:
      for (const auto& [key, item] : j.items())
        if (!numbersAreDoubles(item, insideSettings || key == "userSettings")) return false;
      return true;
    default: return true;
  }
}

TEST(OutgoingRecordsTest, EveryRecordIsWrittenAsThePageExpectsAndReadsBackToTheSameValue) {
  for (const auto& sample : recordSamples()) {
    SCOPED_TRACE(std::string(sample.label));
    auto encoded = sample.encodeValue();
    ASSERT_TRUE(encoded) << encoded.error().description();
    EXPECT_EQ(unordered(*encoded), unordered(sample.json));
    EXPECT_TRUE(numbersAreDoubles(*encoded)) << encoded->dump();

    auto sameValue = sample.decodesToValue(Json::parse(sample.json));
    ASSERT_TRUE(sameValue) << sameValue.error().description();
    EXPECT_TRUE(*sameValue);

    // Through text, as the page would send it back.
    auto again = sample.decodeThenEncode(*parseJson(dumpJson(*encoded)));
    ASSERT_TRUE(again) << again.error().description();
    EXPECT_EQ(unordered(*again), unordered(sample.json));
  }
}

TEST(OutgoingRecordsTest, ARequiredKeyThatIsMissingOrNullFailsTheRecord) {
  for (const auto& sample : recordSamples()) {
    for (auto key : sample.required) {
      SCOPED_TRACE(std::string(sample.label) + " without " + std::string(key));
      Json missing = Json::parse(sample.json);
      missing.erase(std::string(key));
      auto decoded = sample.decodeThenEncode(missing);
      ASSERT_FALSE(decoded);
      EXPECT_EQ(decoded.error().kind, CodingError::Kind::keyNotFound);

      Json null = Json::parse(sample.json);
      null[std::string(key)] = nullptr;
      decoded = sample.decodeThenEncode(null);
      ASSERT_FALSE(decoded);
      EXPECT_EQ(decoded.error().kind, CodingError::Kind::valueNotFound);
    }
  }
}

TEST(OutgoingRecordsTest, AnOptionalKeyMayBeMissingOrNullAndIsThenLeftOutNeverWrittenAsNull) {
  for (const auto& sample : recordSamples()) {
    for (auto key : sample.optional) {
      for (bool asNull : {false, true}) {
        SCOPED_TRACE(std::string(sample.label) + (asNull ? " with null " : " without ") + std::string(key));
        Json input = Json::parse(sample.json);
        if (asNull)
          input[std::string(key)] = nullptr;
        else
          input.erase(std::string(key));
        auto written = sample.decodeThenEncode(input);
        ASSERT_TRUE(written) << written.error().description();
        EXPECT_FALSE(written->contains(std::string(key))) << written->dump();
        Json expected = Json::parse(sample.json);
        expected.erase(std::string(key));
        EXPECT_EQ(unordered(*written), unordered(expected));
      }
    }
  }
}

TEST(OutgoingRecordsTest, KeysOutsideTheTableAreIgnoredAndEveryListedKeyIsCovered) {
  for (const auto& sample : recordSamples()) {
    SCOPED_TRACE(std::string(sample.label));
    Json input = Json::parse(sample.json);
    std::size_t listed = sample.required.size() + sample.optional.size();
    EXPECT_EQ(input.size(), listed) << "the sample sets every key of its record";
    input["somethingElse"] = Json::array({1, "x"});
    auto sameValue = sample.decodesToValue(input);
    ASSERT_TRUE(sameValue) << sameValue.error().description();
    EXPECT_TRUE(*sameValue);
  }
}

TEST(OutgoingRecordsTest, AValueOfAnotherJsonTypeFailsWithATypeMismatch) {
  for (const auto& sample : recordSamples()) {
    for (auto key : sample.required) {
      SCOPED_TRACE(std::string(sample.label) + "." + std::string(key));
      Json input = Json::parse(sample.json);
      // Booleans become text, everything else a boolean: always another JSON type.
      input[std::string(key)] = input[std::string(key)].is_boolean() ? Json("true") : Json(true);
      auto decoded = sample.decodeThenEncode(input);
      ASSERT_FALSE(decoded);
      EXPECT_EQ(decoded.error().kind, CodingError::Kind::typeMismatch);
    }
  }
}

}  // namespace
}  // namespace kestrom

// Project ids: length, alphabet, uniqueness from the kernel's randomness, and a seeded double that
// repeats itself.

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <vector>

#include "platform/ids/FakeIdGenerator.h"
#include "platform/ids/IdGenerator.h"

namespace kestrom::ids {
namespace {

bool onlyUrlSafeSymbols(const std::string& id) {
  for (char c : id) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && !(c >= '0' && c <= '9') && c != '_' && c != '-') return false;
  }
  return true;
}

TEST(IdGeneratorTest, MakesDistinctUrlSafeIdsOfTheProjectLength) {
  RandomIdGenerator random;
  FakeIdGenerator fake;
  for (IdGenerator* generator : std::array<IdGenerator*, 2>{&random, &fake}) {
    std::set<std::string> seen;
    std::array<int, 64> counts{};
    for (int i = 0; i < 4000; ++i) {
      const std::string id = generator->makeId();
      ASSERT_EQ(id.size(), kProjectIdLength);
      ASSERT_TRUE(onlyUrlSafeSymbols(id)) << id;
      EXPECT_TRUE(seen.insert(id).second) << "repeated " << id;
      for (char c : id) ++counts[kIdAlphabet.find(c)];
    }
    // 48,000 symbols, 750 expected of each: every symbol turns up, none far too often.
    for (std::size_t s = 0; s < counts.size(); ++s) {
      EXPECT_GT(counts[s], 400) << kIdAlphabet[s];
      EXPECT_LT(counts[s], 1100) << kIdAlphabet[s];
    }
  }
  EXPECT_EQ(random.makeId(21).size(), 21u);
  EXPECT_EQ(random.makeId(0), "");
  EXPECT_EQ(random.makeId(100000).size(), 100000u);
}

TEST(IdGeneratorTest, TheSameSeedGivesTheSameIds) {
  FakeIdGenerator first, second, other(7);
  std::vector<std::string> a, b, c;
  for (int i = 0; i < 5; ++i) {
    a.push_back(first.makeId());
    b.push_back(second.makeId());
    c.push_back(other.makeId());
  }
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a[0], a[1]);
}

}  // namespace
}  // namespace kestrom::ids

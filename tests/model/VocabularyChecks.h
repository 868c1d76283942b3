#pragma once
// The checks every whole-vocabulary record shares: it is keyed by exactly the method texts of its
// enumeration, it survives a round trip through text, and it needs every one of its keys.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "KestromKit/model/Coding.h"
#include "tests/support/MessageSamples.h"

namespace kestrom::testing {

/// `all` encodes to one key per method of `Method` (`count` of them) and decodes back equal.
template <class Method, class Aggregate>
void expectKeyedByEveryMethodAndRoundTrips(const Aggregate& all, std::size_t count) {
  auto j = encode(all);
  ASSERT_TRUE(j);
  const std::set<std::string> keys = keysOf(*j);
  std::set<std::string> methods;
  for (const auto& [method, raw] : EnumTable<Method>::values) methods.emplace(raw);
  EXPECT_EQ(keys, methods);
  EXPECT_EQ(keys.size(), count);
  auto back = decodeText<Aggregate>(dumpJson(*j));
  ASSERT_TRUE(back) << back.error().description();
  EXPECT_EQ(*back, all);
}

/// Without any one of its method keys, `all`'s encoding no longer decodes.
template <class Method, class Aggregate>
void expectEveryMethodKeyNeeded(const Aggregate& all) {
  auto j = *encode(all);
  for (const auto& [method, raw] : EnumTable<Method>::values) {
    SCOPED_TRACE(std::string(raw));
    nlohmann::ordered_json without = j;
    without.erase(std::string(raw));
    auto decoded = decode<Aggregate>(without);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().kind, CodingError::Kind::keyNotFound);
  }
}

}  // namespace kestrom::testing

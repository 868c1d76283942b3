#pragma once
// Identifiers from a fixed seed, for tests and headless runs: the same seed gives the same ids in
// the same order on every run and machine (std::mt19937_64 is fully specified). Any thread.

#include <cstdint>
#include <mutex>
#include <random>

#include "platform/ids/IdGenerator.h"

namespace kestrom::ids {

class FakeIdGenerator final : public IdGenerator {
 public:
  static constexpr std::uint64_t kDefaultSeed = 20240611;
  explicit FakeIdGenerator(std::uint64_t seed = kDefaultSeed) : engine_(seed) {}

 protected:
  void randomBytesImpl(std::span<unsigned char> bytes) override;

 private:
  std::mutex mutex_;  // guards engine_
  std::mt19937_64 engine_;
};

}  // namespace kestrom::ids

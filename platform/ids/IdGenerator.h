#pragma once
// Random identifiers for new projects: strings of the 64 URL-safe symbols "A-Za-z0-9_-", 12 of
// them by default (72 random bits). Each symbol takes six bits of one random byte, so every
// symbol is equally likely. RandomIdGenerator draws from the kernel; FakeIdGenerator (tests and
// headless runs) from a fixed seed. Any thread.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace kestrom::ids {

inline constexpr std::string_view kIdAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
inline constexpr std::size_t kProjectIdLength = 12;

class IdGenerator {
 public:
  virtual ~IdGenerator() = default;

  /// A new identifier of `length` symbols of kIdAlphabet.
  std::string makeId(std::size_t length = kProjectIdLength);

 protected:
  /// Fills `bytes` with uniformly random bytes.
  virtual void randomBytesImpl(std::span<unsigned char> bytes) = 0;
};

/// Draws from getrandom(2). A kernel that cannot supply randomness stops the process: an id that
/// is not random could silently take another project's place in the index.
class RandomIdGenerator final : public IdGenerator {
 protected:
  void randomBytesImpl(std::span<unsigned char> bytes) override;
};

}  // namespace kestrom::ids

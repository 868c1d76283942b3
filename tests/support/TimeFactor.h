#pragma once
// How many times slower this build runs the tests than a plain optimised one: 1 there, more in the
// sanitized Debug trees (set by the build, the same factor their CTest time-outs grow by). The
// test support's waits apply it, so every wait in a test reads as what a plain build needs.

#include <chrono>

#ifndef KESTROM_TIME_FACTOR
#error "KESTROM_TIME_FACTOR comes from the build (tests/CMakeLists.txt)"
#endif

namespace kestrom::test {

inline constexpr int kTimeFactor = KESTROM_TIME_FACTOR;
static_assert(kTimeFactor >= 1);

/// `wait` as long as this build needs for what a plain build does within `wait`.
template <class Rep, class Period>
constexpr auto scaledWait(std::chrono::duration<Rep, Period> wait) {
  return wait * kTimeFactor;
}

}  // namespace kestrom::test

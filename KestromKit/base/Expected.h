#pragma once
// Errors as values. g++ 12's C++20 has no std::expected; tl::expected stands in behind one alias so
// the switch to the standard type later is a change here only.

#include <tl/expected.hpp>

namespace kestrom {

template <class T, class E>
using Expected = tl::expected<T, E>;

template <class E>
[[nodiscard]] auto makeUnexpected(E&& error) {
  return tl::make_unexpected(std::forward<E>(error));
}

}  // namespace kestrom

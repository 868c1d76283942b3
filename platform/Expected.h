#pragma once
// Errors as values, for the platform layers and the kit alike. C++20 has no std::expected;
// tl::expected stands in behind this alias and `makeUnexpected`, so code names neither tl:: nor
// std:: and the switch to the standard type is a change here.

#include <tl/expected.hpp>

#include <utility>

namespace kestrom {

template <class T, class E>
using Expected = tl::expected<T, E>;

template <class E>
[[nodiscard]] auto makeUnexpected(E&& error) {
  return tl::make_unexpected(std::forward<E>(error));
}

}  // namespace kestrom

#pragma once
// Type-list helpers for variants built from a list that names a type more than once.

#include <cstddef>
#include <type_traits>
#include <variant>

namespace kestrom {

namespace unique_variant_detail {

template <class Variant, class... Ts>
struct Build;
template <class... Us>
struct Build<std::variant<Us...>> {
  using type = std::variant<Us...>;
};
template <class... Us, class T, class... Ts>
struct Build<std::variant<Us...>, T, Ts...> {
  using type = typename std::conditional_t<(std::is_same_v<T, Us> || ...), Build<std::variant<Us...>, Ts...>,
                                           Build<std::variant<Us..., T>, Ts...>>::type;
};

}  // namespace unique_variant_detail

/// std::variant of the distinct types of `Ts`, in order of first appearance.
template <class... Ts>
using UniqueVariant = typename unique_variant_detail::Build<std::variant<>, Ts...>::type;

/// The index of `T` among the alternatives of `Variant`.
template <class T, class Variant>
struct VariantIndex;
template <class T, class... Us>
struct VariantIndex<T, std::variant<Us...>> {
  static constexpr std::size_t value = [] {
    constexpr bool same[] = {std::is_same_v<T, Us>...};
    for (std::size_t i = 0; i < sizeof...(Us); ++i)
      if (same[i]) return i;
    return sizeof...(Us);
  }();
  static_assert(value < sizeof...(Us), "type is not an alternative of the variant");
};
template <class T, class Variant>
inline constexpr std::size_t variantIndex = VariantIndex<T, Variant>::value;

}  // namespace kestrom

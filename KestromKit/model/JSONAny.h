#pragma once
// Untyped JSON values: any JSON the page sends where the schema leaves a value open (free-form
// parameters and results, a user setting's value).

#include <cstddef>
#include <optional>
#include <string>

#include "KestromKit/model/Coding.h"

namespace kestrom {

/// JSON null inside an untyped value. All nulls are equal and hash to 0.
struct JSONNull {
  friend constexpr bool operator==(JSONNull, JSONNull) { return true; }
};

/// One JSON value of any shape: null, Bool, 64-bit integer, double, text, array or object.
/// Whole numbers read as 64-bit integers (a whole number beyond that range as a double), every
/// other number as a double. Encoding refuses a non-finite double ("Cannot encode JSONAny").
struct JSONAny {
  Json value;

  JSONAny() = default;
  JSONAny(Json v) : value(std::move(v)) {}  // NOLINT: any JSON is an untyped value

  friend bool operator==(const JSONAny& a, const JSONAny& b) { return a.value == b.value; }
};

/// The free JSON object of requests and replies that carry no typed record.
using JSONObject = std::map<std::string, JSONAny>;

template <>
struct Coder<JSONAny> {
  static Decoded<JSONAny> read(const Json& j);
  static Json write(const JSONAny& v);
};

template <>
struct Coder<JSONNull> {
  static Decoded<JSONNull> read(const Json& j);
  static Json write(JSONNull) { return nullptr; }
};

}  // namespace kestrom

template <>
struct std::hash<kestrom::JSONNull> {
  std::size_t operator()(kestrom::JSONNull) const noexcept { return 0; }
};

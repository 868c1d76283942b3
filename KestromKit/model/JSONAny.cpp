#include "KestromKit/model/JSONAny.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace kestrom {

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;

bool wholeInt64(double v) {
  return std::trunc(v) == v && v >= -kTwoTo63 && v < kTwoTo63 && !(v == 0 && std::signbit(v));
}

// Normalises numbers the way the model reads them and checks that every number is finite.
// Arrays and objects nest at most kMaxJsonDepth deep (parseJson refuses deeper text), so the
// recursion is bounded.
void normalise(Json& j, bool encoding) {
  switch (j.type()) {
    case Json::value_t::number_unsigned:
      if (j.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        j = static_cast<double>(j.get<std::uint64_t>());
      else
        j = static_cast<std::int64_t>(j.get<std::uint64_t>());
      break;
    case Json::value_t::number_float: {
      double v = j.get<double>();
      if (encoding && !std::isfinite(v))
        throw EncodingFailure{{CodingError::Kind::invalidValue, {}, "Cannot encode JSONAny"}};
      // "5.0" and "1e2" are whole numbers too and read as the integers the page meant; -0.0 keeps
      // its sign as a double.
      if (!encoding && wholeInt64(v)) j = static_cast<std::int64_t>(v);
      break;
    }
    case Json::value_t::array:
    case Json::value_t::object:
      for (auto& item : j) normalise(item, encoding);
      break;
    default:
      break;
  }
}

}  // namespace

Decoded<JSONAny> Coder<JSONAny>::read(const Json& j) {
  Json copy = j;
  normalise(copy, false);
  return JSONAny(std::move(copy));
}

Json Coder<JSONAny>::write(const JSONAny& v) {
  Json copy = v.value;
  normalise(copy, true);
  return copy;
}

Decoded<JSONNull> Coder<JSONNull>::read(const Json& j) {
  if (j.is_null()) return JSONNull{};
  return makeUnexpected(CodingError{CodingError::Kind::typeMismatch, {}, "Wrong type for JSONNull"});
}

}  // namespace kestrom

#pragma once
// The coding rules every record of the channel and of the configuration shares, written once.
//
// A record is a plain struct that lists its fields in a static `codingFields()` table:
//
//   struct RPCRequestHubSendParams {
//     std::string id;
//     std::string message;
//     static constexpr auto codingFields() {
//       using S = RPCRequestHubSendParams;
//       return std::tuple{field("id", &S::id), field("message", &S::message)};
//     }
//   };
//
// A field is required unless its member is a std::optional. Required: a missing key fails with
// keyNotFound, null with valueNotFound (except for values that hold null, JSONAny and JSONNull),
// another JSON type with typeMismatch; always written. Optional: missing or null reads as empty,
// a wrong type still fails; left out when empty. Unknown keys are ignored, keys match exactly.
// An enumeration lists its raw strings in an `EnumTable` specialisation; an unknown string fails
// with dataCorrupted. Encoding fails on a non-finite number (invalidValue) instead of writing null.

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestromKit/base/Expected.h"
#include "platform/jsontext/JsonText.h"

namespace kestrom {

using Json = nlohmann::ordered_json;

/// Deepest nesting of arrays and objects the host accepts in any JSON text it parses.
inline constexpr int kMaxJsonDepth = jsontext::kMaxDepth;

struct CodingError {
  enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted, invalidValue };
  Kind kind = Kind::dataCorrupted;
  std::string path;     // where the failing value sits, "" for the root: "values.settings.a.value"
  std::string message;  // what went wrong there

  /// "keyNotFound at values: No value associated with key \"tmpId\"".
  std::string description() const;
  /// Prefixes the path with one object key or array index as the error travels outwards.
  CodingError& in(std::string_view key);
  CodingError& in(std::size_t index);
};

std::string_view toString(CodingError::Kind kind);

template <class T>
using Decoded = Expected<T, CodingError>;

/// Thrown inside an encoder and turned into an Expected by `encode`; never leaves this module.
struct EncodingFailure {
  CodingError error;
};

/// Parses JSON text; invalid JSON, invalid UTF-8 and nesting deeper than kMaxJsonDepth fail with
/// dataCorrupted. Never throws.
[[nodiscard]] Expected<Json, CodingError> parseJson(std::string_view text);
/// Writes compact JSON; text that is not valid UTF-8 is written with U+FFFD in its place.
std::string dumpJson(const Json& value);

// ---- field tables ----------------------------------------------------------------------------

template <class R, class M>
struct Field {
  std::string_view key;
  M R::*member;
};

template <class R, class M>
constexpr Field<R, M> field(std::string_view key, M R::*member) {
  return {key, member};
}

template <class T>
concept Record = requires { T::codingFields(); };

/// Specialise with `static constexpr std::array<std::pair<T, std::string_view>, N> values`.
template <class T>
struct EnumTable;

template <class T>
concept TableEnum = std::is_enum_v<T> && requires { EnumTable<T>::values; };

template <TableEnum T>
constexpr std::string_view rawValue(T value) {
  for (const auto& [item, raw] : EnumTable<T>::values)
    if (item == value) return raw;
  return {};
}

template <TableEnum T>
constexpr std::optional<T> enumFromRaw(std::string_view raw) {
  for (const auto& [item, text] : EnumTable<T>::values)
    if (text == raw) return item;
  return std::nullopt;
}

// ---- coders ------------------------------------------------------------------------------------

/// Coder<T>::read(const Json&) -> Decoded<T>; Coder<T>::write(const T&) -> Json (may throw
/// EncodingFailure). A coder that takes null as a value (JSONAny, JSONNull) reads it as one.
template <class T, class = void>
struct Coder;

namespace coding_detail {
CodingError typeError(const Json& found, std::string_view expected);
CodingError missingKey(std::string_view key);
[[noreturn]] void failNonFinite();
const Json* findKey(const Json& object, std::string_view key);
}  // namespace coding_detail

template <>
struct Coder<std::string> {
  static Decoded<std::string> read(const Json& j) {
    if (const auto* s = j.get_ptr<const Json::string_t*>()) return *s;
    return makeUnexpected(coding_detail::typeError(j, "String"));
  }
  static Json write(const std::string& v) { return v; }
};

template <>
struct Coder<bool> {
  static Decoded<bool> read(const Json& j) {
    if (j.is_boolean()) return j.get<bool>();
    return makeUnexpected(coding_detail::typeError(j, "Bool"));
  }
  static Json write(bool v) { return v; }
};

template <>
struct Coder<double> {
  static Decoded<double> read(const Json& j) {
    if (j.is_number()) return j.get<double>();
    return makeUnexpected(coding_detail::typeError(j, "Double"));
  }
  static Json write(double v) {
    if (!std::isfinite(v)) coding_detail::failNonFinite();
    return v;
  }
};

/// Whole numbers of any width: a fraction or a value outside the type's range fails.
template <class T>
struct Coder<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  static Decoded<T> read(const Json& j) {
    if (j.is_number_unsigned()) {
      auto v = j.get<std::uint64_t>();
      if (v <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(v);
    } else if (j.is_number_integer()) {
      auto v = j.get<std::int64_t>();
      if (std::in_range<T>(v)) return static_cast<T>(v);
    } else if (j.is_number_float()) {
      double v = j.get<double>();
      if (std::trunc(v) == v && v >= static_cast<double>(std::numeric_limits<T>::min()) &&
          v <= static_cast<double>(std::numeric_limits<T>::max()))
        return static_cast<T>(v);
    } else {
      return makeUnexpected(coding_detail::typeError(j, "Int"));
    }
    return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {},
                                      "Parsed JSON number <" + j.dump() + "> does not fit."});
  }
  static Json write(T v) { return v; }
};

template <TableEnum T>
struct Coder<T> {
  static Decoded<T> read(const Json& j) {
    const auto* s = j.get_ptr<const Json::string_t*>();
    if (!s) return makeUnexpected(coding_detail::typeError(j, "String"));
    if (auto v = enumFromRaw<T>(*s)) return *v;
    return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {},
                                      "Cannot initialize from invalid String value " + *s});
  }
  static Json write(T v) { return std::string(rawValue(v)); }
};

template <class T>
struct Coder<std::vector<T>> {
  static Decoded<std::vector<T>> read(const Json& j) {
    if (!j.is_array()) return makeUnexpected(coding_detail::typeError(j, "Array"));
    std::vector<T> out;
    out.reserve(j.size());
    for (std::size_t i = 0; i < j.size(); ++i) {
      auto item = Coder<T>::read(j[i]);
      if (!item) return makeUnexpected(std::move(item.error().in(i)));
      out.push_back(std::move(*item));
    }
    return out;
  }
  static Json write(const std::vector<T>& v) {
    Json out = Json::array();
    for (const auto& item : v) out.push_back(Coder<T>::write(item));
    return out;
  }
};

template <class T>
struct Coder<std::map<std::string, T>> {
  static Decoded<std::map<std::string, T>> read(const Json& j) {
    if (!j.is_object()) return makeUnexpected(coding_detail::typeError(j, "Dictionary"));
    std::map<std::string, T> out;
    for (const auto& [key, value] : j.items()) {
      auto item = Coder<T>::read(value);
      if (!item) return makeUnexpected(std::move(item.error().in(key)));
      out.insert_or_assign(key, std::move(*item));
    }
    return out;
  }
  static Json write(const std::map<std::string, T>& v) {
    Json out = Json::object();
    for (const auto& [key, item] : v) out[key] = Coder<T>::write(item);
    return out;
  }
};

/// Instants travel as milliseconds since 1970, a JSON number.
using Date = std::chrono::system_clock::time_point;

template <>
struct Coder<Date> {
  static Decoded<Date> read(const Json& j) {
    if (!j.is_number()) return makeUnexpected(coding_detail::typeError(j, "Double"));
    auto ms = std::chrono::duration<double, std::milli>(j.get<double>());
    return Date(std::chrono::duration_cast<Date::duration>(ms));
  }
  static Json write(Date v) {
    return std::chrono::duration<double, std::milli>(v.time_since_epoch()).count();
  }
};

template <Record T>
struct Coder<T> {
  static Decoded<T> read(const Json& j) {
    if (!j.is_object()) return makeUnexpected(coding_detail::typeError(j, "Dictionary"));
    T out{};
    std::optional<CodingError> error;
    std::apply([&](const auto&... f) { (readField(j, out, f, error), ...); }, T::codingFields());
    if (error) return makeUnexpected(std::move(*error));
    return out;
  }

  static Json write(const T& v) {
    Json out = Json::object();
    std::apply([&](const auto&... f) { (writeField(out, v, f), ...); }, T::codingFields());
    return out;
  }

 private:
  template <class M>
  static void readField(const Json& j, T& out, const Field<T, M>& f, std::optional<CodingError>& error) {
    if (error) return;
    const Json* value = coding_detail::findKey(j, f.key);
    if constexpr (requires { typename M::value_type; requires std::is_same_v<M, std::optional<typename M::value_type>>; }) {
      if (!value || value->is_null()) return;
      auto item = Coder<typename M::value_type>::read(*value);
      if (!item) {
        error = std::move(item.error().in(f.key));
        return;
      }
      out.*(f.member) = std::move(*item);
    } else {
      if (!value) {
        error = coding_detail::missingKey(f.key);
        return;
      }
      auto item = Coder<M>::read(*value);
      if (!item) {
        error = std::move(item.error().in(f.key));
        return;
      }
      out.*(f.member) = std::move(*item);
    }
  }

  template <class M>
  static void writeField(Json& out, const T& v, const Field<T, M>& f) {
    const M& member = v.*(f.member);
    if constexpr (requires { typename M::value_type; requires std::is_same_v<M, std::optional<typename M::value_type>>; }) {
      if (member) out[std::string(f.key)] = Coder<typename M::value_type>::write(*member);
    } else {
      out[std::string(f.key)] = Coder<M>::write(member);
    }
  }
};

// ---- entry points --------------------------------------------------------------------------------

template <class T>
[[nodiscard]] Decoded<T> decode(const Json& j) {
  try {
    return Coder<T>::read(j);
  } catch (const std::exception& e) {  // nlohmann's own checks; our coders check types first
    return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {}, e.what()});
  }
}

template <class T>
[[nodiscard]] Decoded<T> decodeText(std::string_view text) {
  auto j = parseJson(text);
  if (!j) return makeUnexpected(std::move(j.error()));
  return decode<T>(*j);
}

template <class T>
[[nodiscard]] Expected<Json, CodingError> encode(const T& value) {
  try {
    return Coder<T>::write(value);
  } catch (EncodingFailure& failure) {
    return makeUnexpected(std::move(failure.error));
  } catch (const std::exception& e) {
    return makeUnexpected(CodingError{CodingError::Kind::invalidValue, {}, e.what()});
  }
}

/// Encodes and writes compact JSON text in one step.
template <class T>
[[nodiscard]] Expected<std::string, CodingError> encodeText(const T& value) {
  auto j = encode(value);
  if (!j) return makeUnexpected(std::move(j.error()));
  return dumpJson(*j);
}

}  // namespace kestrom

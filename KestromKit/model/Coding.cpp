#include "KestromKit/model/Coding.h"

#include <optional>

#include "platform/jsontext/JsonText.h"

namespace kestrom {

std::string_view toString(CodingError::Kind kind) {
  switch (kind) {
    case CodingError::Kind::keyNotFound: return "keyNotFound";
    case CodingError::Kind::valueNotFound: return "valueNotFound";
    case CodingError::Kind::typeMismatch: return "typeMismatch";
    case CodingError::Kind::dataCorrupted: return "dataCorrupted";
    case CodingError::Kind::invalidValue: return "invalidValue";
  }
  return "unknown";
}

std::string CodingError::description() const {
  std::string text(toString(kind));
  if (!path.empty()) text += " at " + path;
  text += ": ";
  text += message;
  return text;
}

CodingError& CodingError::in(std::string_view key) {
  path = path.empty() ? std::string(key) : std::string(key) + "." + path;
  return *this;
}

CodingError& CodingError::in(std::size_t index) {
  // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "[" + std::to_string(i).
  std::string item(1, '[');
  item += std::to_string(index);
  item += ']';
  if (!path.empty()) {
    if (path.front() != '[') item += '.';
    item += path;
  }
  path = std::move(item);
  return *this;
}

namespace coding_detail {

namespace {
std::string_view typeName(const Json& j) {
  switch (j.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "Bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return "Number";
    case Json::value_t::string: return "String";
    case Json::value_t::array: return "Array";
    case Json::value_t::object: return "Dictionary";
    default: return "unknown";
  }
}
}  // namespace

CodingError typeError(const Json& found, std::string_view expected) {
  if (found.is_null())
    return {CodingError::Kind::valueNotFound, {},
            "Expected " + std::string(expected) + " value but found null instead."};
  return {CodingError::Kind::typeMismatch, {},
          "Expected to decode " + std::string(expected) + " but found " + std::string(typeName(found)) +
              " instead."};
}

CodingError missingKey(std::string_view key) {
  return {CodingError::Kind::keyNotFound, {},
          "No value associated with key \"" + std::string(key) + "\"."};
}

void failNonFinite() {
  throw EncodingFailure{{CodingError::Kind::invalidValue, {}, "Unable to encode a non-finite number."}};
}

const Json* findKey(const Json& object, std::string_view key) {
  for (auto it = object.begin(); it != object.end(); ++it)
    if (it.key() == key) return &it.value();
  return nullptr;
}

}  // namespace coding_detail

Expected<Json, CodingError> parseJson(std::string_view text) {
  auto parsed = jsontext::parse(text);
  if (parsed) return std::move(*parsed);
  if (parsed.error() == jsontext::ParseFailure::tooDeep)
    return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {},
                                      "The given data nests deeper than " + std::to_string(kMaxJsonDepth) +
                                          " levels."});
  return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {}, "The given data was not valid JSON."});
}

std::string dumpJson(const Json& value) { return jsontext::dump(value); }

}  // namespace kestrom

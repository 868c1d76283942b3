#include "KestromKit/model/Coding.h"

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
  auto item = "[" + std::to_string(index) + "]";
  path = path.empty() ? item : item + (path.front() == '[' ? "" : ".") + path;
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

bool nestingWithin(std::string_view text, int maxDepth) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
      continue;
    }
    switch (c) {
      case '"': inString = true; break;
      case '[':
      case '{':
        if (++depth > maxDepth) return false;
        break;
      case ']':
      case '}': --depth; break;
      default: break;
    }
  }
  return true;
}

Expected<Json, CodingError> parseJson(std::string_view text) {
  if (!nestingWithin(text, kMaxJsonDepth))
    return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {},
                                      "The given data nests deeper than " + std::to_string(kMaxJsonDepth) +
                                          " levels."});
  Json j = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded())
    return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {}, "The given data was not valid JSON."});
  return j;
}

std::string dumpJson(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace kestrom

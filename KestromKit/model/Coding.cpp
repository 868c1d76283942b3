#include "KestromKit/model/Coding.h"

#include <memory>
#include <unordered_map>

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

namespace {

// Builds the tree of parsed JSON text. nlohmann's own tree builder copies every string and finds
// each key by a linear search, so an object with many keys takes quadratic time; this one moves
// strings in, indexes the keys of large objects, and stops at the nesting limit. A repeated key
// keeps its first position and its last value, as nlohmann's does.
class TreeBuilder {
 public:
  explicit TreeBuilder(int maxDepth) : maxDepth_(maxDepth) { open_.reserve(8); }

  bool tooDeep() const { return tooDeep_; }
  Json result() && { return std::move(root_); }

  // nlohmann's SAX interface
  bool null() { return add(Json(nullptr)) != nullptr; }
  bool boolean(bool v) { return add(Json(v)) != nullptr; }
  bool number_integer(Json::number_integer_t v) { return add(Json(v)) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t v) { return add(Json(v)) != nullptr; }
  bool number_float(Json::number_float_t v, const Json::string_t&) { return add(Json(v)) != nullptr; }
  bool string(Json::string_t& v) { return add(Json(std::move(v))) != nullptr; }
  bool binary(Json::binary_t&) { return false; }  // JSON text has none
  bool start_object(std::size_t) { return open(Json::value_t::object); }
  bool key(Json::string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Json::value_t::array); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

 private:
  // Objects up to this size find a repeated key by a linear search; larger ones keep an index.
  static constexpr std::size_t kIndexFrom = 16;

  // An object's members as the vector under nlohmann's ordered map, to append without a lookup.
  using Entries = Json::object_t::Container;

  struct Open {
    Json* container;
    std::unique_ptr<std::unordered_map<std::string, std::size_t>> keys;
  };

  bool open(Json::value_t type) {
    if (static_cast<int>(open_.size()) >= maxDepth_) {
      tooDeep_ = true;
      return false;
    }
    Json* container = add(Json(type));
    if (!container) return false;
    open_.push_back({container, nullptr});
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  // Only the innermost open container grows, so pointers to the open ones stay valid.
  Json* add(Json&& value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Open& parent = open_.back();
    if (parent.container->is_array()) {
      auto& array = parent.container->get_ref<Json::array_t&>();
      array.push_back(std::move(value));
      return &array.back();
    }
    Entries& object = parent.container->get_ref<Json::object_t&>();
    if (auto existing = find(parent, object)) {
      object[*existing].second = std::move(value);
      return &object[*existing].second;
    }
    if (parent.keys) parent.keys->emplace(key_, object.size());
    object.emplace_back(std::move(key_), std::move(value));
    if (!parent.keys && object.size() >= kIndexFrom) {
      parent.keys = std::make_unique<std::unordered_map<std::string, std::size_t>>();
      for (std::size_t i = 0; i < object.size(); ++i) parent.keys->emplace(object[i].first, i);
    }
    return &object.back().second;
  }

  std::optional<std::size_t> find(const Open& parent, const Entries& object) const {
    if (parent.keys) {
      auto it = parent.keys->find(key_);
      if (it == parent.keys->end()) return std::nullopt;
      return it->second;
    }
    for (std::size_t i = 0; i < object.size(); ++i)
      if (object[i].first == key_) return i;
    return std::nullopt;
  }

  int maxDepth_;
  bool tooDeep_ = false;
  Json root_;
  std::vector<Open> open_;
  std::string key_;
};

}  // namespace

Expected<Json, CodingError> parseJson(std::string_view text) {
  TreeBuilder builder(kMaxJsonDepth);
  bool parsed = false;
  try {
    parsed = Json::sax_parse(text.data(), text.data() + text.size(), &builder);
  } catch (const std::exception&) {  // allocation failures; the parser reports its own errors
    parsed = false;
  }
  if (builder.tooDeep())
    return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {},
                                      "The given data nests deeper than " + std::to_string(kMaxJsonDepth) +
                                          " levels."});
  if (!parsed)
    return makeUnexpected(CodingError{CodingError::Kind::dataCorrupted, {}, "The given data was not valid JSON."});
  return std::move(builder).result();
}

std::string dumpJson(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace kestrom

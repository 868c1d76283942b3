#include "platform/jsontext/JsonText.h"

#include <cstddef>
#include <exception>
#include <iterator>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrom::jsontext {

namespace {

using Json = nlohmann::ordered_json;

// Builds the tree of parsed JSON text. nlohmann's own tree builder copies every string, grows
// each container step by step and finds each key by a linear search, so an object with many keys
// takes quadratic time. This one gathers the members of each open container in a scratch list
// that the thread keeps from frame to frame, moves strings in, sizes every container exactly when
// it closes, indexes the keys of large objects, and stops at the nesting limit. A repeated key
// keeps its first position and its last value, as nlohmann's does.
class TreeBuilder {
 public:
  explicit TreeBuilder(int maxDepth) : maxDepth_(maxDepth) {}

  /// Clears what an earlier, possibly aborted, parse left and gives back large scratch lists.
  void reset() {
    depth_ = 0;
    tooDeep_ = false;
    root_ = Json();
    if (levels_.size() > kKeptLevels) levels_.resize(kKeptLevels);
    for (auto& level : levels_) level.clear();
  }
  bool tooDeep() const { return tooDeep_; }
  Json takeResult() { return std::move(root_); }

  // nlohmann's SAX interface
  bool null() { return add(Json(nullptr)); }
  bool boolean(bool v) { return add(Json(v)); }
  bool number_integer(Json::number_integer_t v) { return add(Json(v)); }
  bool number_unsigned(Json::number_unsigned_t v) { return add(Json(v)); }
  bool number_float(Json::number_float_t v, const Json::string_t&) { return add(Json(v)); }
  bool string(Json::string_t& v) { return add(Json(std::move(v))); }
  bool binary(Json::binary_t&) { return false; }  // JSON text has none
  bool start_object(std::size_t) { return open(true); }
  bool key(Json::string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(false); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

 private:
  // Objects up to this size find a repeated key by a linear search; larger ones keep an index.
  static constexpr std::size_t kIndexFrom = 16;
  // Scratch kept between parses: a few levels, each up to this many entries.
  static constexpr std::size_t kKeptLevels = 16;
  static constexpr std::size_t kKeptEntries = 1024;

  // An object's members as the vector under nlohmann's ordered map, to append without a lookup.
  using Entries = Json::object_t::Container;

  struct Level {
    bool object = false;
    std::string keyInParent;
    std::vector<std::pair<std::string, Json>> members;
    std::vector<Json> items;
    std::unordered_map<std::string, std::size_t> index;  // filled once members reach kIndexFrom

    void clear() {
      members.clear();
      items.clear();
      index.clear();
      if (members.capacity() > kKeptEntries) members.shrink_to_fit();
      if (items.capacity() > kKeptEntries) items.shrink_to_fit();
      if (index.bucket_count() > kKeptEntries) index = {};
    }
  };

  bool open(bool object) {
    if (depth_ >= static_cast<std::size_t>(maxDepth_)) {
      tooDeep_ = true;
      return false;
    }
    if (levels_.size() == depth_) levels_.emplace_back();
    Level& level = levels_[depth_++];
    level.object = object;
    level.keyInParent = std::move(key_);
    return true;
  }

  bool close() {
    Level& level = levels_[--depth_];
    Json container(level.object ? Json::value_t::object : Json::value_t::array);
    if (level.object) {
      Entries& entries = container.get_ref<Json::object_t&>();
      entries.reserve(level.members.size());
      for (auto& [key, value] : level.members) entries.emplace_back(std::move(key), std::move(value));
    } else {
      auto& items = container.get_ref<Json::array_t&>();
      items.reserve(level.items.size());
      std::move(level.items.begin(), level.items.end(), std::back_inserter(items));
    }
    level.clear();
    key_ = std::move(level.keyInParent);
    return add(std::move(container));
  }

  bool add(Json&& value) {
    if (depth_ == 0) {
      root_ = std::move(value);
      return true;
    }
    Level& level = levels_[depth_ - 1];
    if (!level.object) {
      level.items.push_back(std::move(value));
      return true;
    }
    if (auto existing = find(level)) {
      level.members[*existing].second = std::move(value);
      return true;
    }
    if (!level.index.empty()) level.index.emplace(key_, level.members.size());
    level.members.emplace_back(std::move(key_), std::move(value));
    if (level.index.empty() && level.members.size() >= kIndexFrom)
      for (std::size_t i = 0; i < level.members.size(); ++i) level.index.emplace(level.members[i].first, i);
    return true;
  }

  std::optional<std::size_t> find(const Level& level) const {
    if (!level.index.empty()) {
      auto it = level.index.find(key_);
      if (it == level.index.end()) return std::nullopt;
      return it->second;
    }
    for (std::size_t i = 0; i < level.members.size(); ++i)
      if (level.members[i].first == key_) return i;
    return std::nullopt;
  }

  int maxDepth_;
  bool tooDeep_ = false;
  std::size_t depth_ = 0;
  Json root_;
  std::vector<Level> levels_;
  std::string key_;
};

}  // namespace

Expected<Json, ParseFailure> parse(std::string_view text) {
  thread_local TreeBuilder builder(kMaxDepth);
  builder.reset();
  bool parsed = false;
  try {
    parsed = Json::sax_parse(text.data(), text.data() + text.size(), &builder);
  } catch (const std::exception&) {  // allocation failures; the parser reports its own errors
    parsed = false;
  }
  if (builder.tooDeep()) return makeUnexpected(ParseFailure::tooDeep);
  if (!parsed) return makeUnexpected(ParseFailure::invalid);
  return builder.takeResult();
}

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace kestrom::jsontext

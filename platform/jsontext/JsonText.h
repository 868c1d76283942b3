#pragma once
// JSON text in and out for every JSON the host reads and writes: the page's frames and script
// messages, the configuration, projects, the stores and the user defaults. The parser is bounded
// (nesting deeper than kMaxDepth is refused, so no later walk over a tree can run out of stack) and
// never throws. Any thread; the parser keeps scratch space per thread.

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/Expected.h"

namespace kestrom::jsontext {

/// Deepest nesting of arrays and objects accepted in any JSON text.
inline constexpr int kMaxDepth = 512;

enum class ParseFailure {
  invalid,  // not JSON, or not valid UTF-8
  tooDeep,  // arrays and objects nest deeper than kMaxDepth
};

/// Parses JSON text. A repeated key keeps its first position and its last value.
[[nodiscard]] Expected<nlohmann::ordered_json, ParseFailure> parse(std::string_view text);
/// Writes compact JSON; text that is not valid UTF-8 is written with U+FFFD in its place.
std::string dump(const nlohmann::ordered_json& value);

}  // namespace kestrom::jsontext

#pragma once
// The one text splitter of the kit's parsers (multipart headers, subtitles, query values).

#include <string_view>
#include <vector>

namespace kestrom {

/// The pieces of `text` between occurrences of `separator`, scanning from the start, with empty
/// pieces dropped ("a;;b;" gives "a", "b"). The pieces point into `text`.
inline std::vector<std::string_view> splitDroppingEmpty(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  if (separator.empty()) {
    if (!text.empty()) pieces.push_back(text);
    return pieces;
  }
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + separator.size();
  }
  return pieces;
}

}  // namespace kestrom

#include "KestromKit/server/MultipartParser.h"

#include <algorithm>

#include "KestromKit/base/SplitText.h"
#include "KestromKit/base/Utf8.h"

namespace kestrom {
namespace {

constexpr std::string_view kCrLf = "\r\n";

auto malformed() { return makeUnexpected(MultipartParserError::malformedData); }

bool isTrimmedAway(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isTrimmedAway(text.front())) text.remove_prefix(1);
  while (!text.empty() && isTrimmedAway(text.back())) text.remove_suffix(1);
  return text;
}

/// Reads the header lines that start at `pos` (on the CR LF ending the boundary line) and leaves
/// `pos` on the first byte of the part's data. Every read is bounded by the body's end.
Expected<MultipartHeaders, MultipartParserError> readHeaders(std::string_view body, std::size_t& pos) {
  MultipartHeaders headers;
  const std::size_t n = body.size();
  for (std::size_t lines = 0;; ++lines) {
    if (lines > kMaxMultipartHeaderLines) return makeUnexpected(MultipartParserError::tooManyParts);
    if (pos + 1 >= n || body.compare(pos, 2, kCrLf) != 0) return malformed();
    pos += 2;
    if (pos + 1 < n && body.compare(pos, 2, kCrLf) == 0) {
      pos += 2;
      return headers;
    }
    const std::size_t lineEnd = body.find('\r', pos);
    if (lineEnd == std::string_view::npos) return malformed();
    // The colon must be on this line: one found further on would swallow the line break into a
    // header name and read the data as headers.
    const std::size_t colon = body.substr(pos, lineEnd - pos).find(':');
    if (colon == std::string_view::npos) return malformed();
    const std::string_view name = body.substr(pos, colon);
    // The value starts two bytes after the colon, assuming ": "; "Name:v" loses its "v". It never
    // starts past the line's CR, so "Name:" CR LF is an empty value, not a read into the next line.
    const std::size_t valueStart = std::min(pos + colon + 2, lineEnd);
    const std::string_view value = body.substr(valueStart, lineEnd - valueStart);
    if (!isValidUtf8(name) || !isValidUtf8(value)) return malformed();
    headers.insert_or_assign(std::string(name), std::string(value));
    pos = lineEnd;
  }
}

template <class Part>
std::optional<Part> firstNamed(std::string_view name, const std::vector<Part>& parts) {
  for (const auto& part : parts) {
    auto disposition = part.headers.find("Content-Disposition");
    if (disposition == part.headers.end()) continue;
    auto parameters = parseDispositionParameters(disposition->second);
    auto found = parameters.find("name");
    if (found != parameters.end() && found->second == name) return part;
  }
  return std::nullopt;
}

}  // namespace

Expected<std::vector<MultipartSlice>, MultipartParserError> locateMultipart(std::string_view body,
                                                                           std::string_view boundary,
                                                                           std::size_t maxParts) {
  std::string delimiter = "\r\n--";
  delimiter += boundary;
  const std::size_t n = body.size();
  std::vector<MultipartSlice> parts;
  std::size_t p = 0;
  for (;;) {
    // A boundary line needs room for "--", the boundary, two more bytes and one byte after them.
    if (p >= n || p + delimiter.size() >= n) return malformed();
    if (body[p] != '-' || body[p + 1] != '-' || body.compare(p + 2, boundary.size(), boundary) != 0)
      return malformed();
    std::size_t pos = p + 2 + boundary.size();
    if (body.compare(pos, 2, "--") == 0) return parts;
    if (body.compare(pos, 2, kCrLf) != 0) return malformed();
    if (parts.size() == maxParts) return makeUnexpected(MultipartParserError::tooManyParts);

    auto headers = readHeaders(body, pos);
    if (!headers) return makeUnexpected(headers.error());
    const std::size_t end = body.find(delimiter, pos);
    if (end == std::string_view::npos || end + delimiter.size() >= n) return malformed();
    parts.push_back(MultipartSlice{pos, end - pos, std::move(*headers)});
    p = end + kCrLf.size();
  }
}

Expected<std::vector<Multipart>, MultipartParserError> parseMultipart(std::string_view body,
                                                                      std::string_view boundary) {
  auto slices = locateMultipart(body, boundary);
  if (!slices) return makeUnexpected(slices.error());
  std::vector<Multipart> parts;
  parts.reserve(slices->size());
  for (auto& slice : *slices)
    parts.push_back(Multipart{std::string(body.substr(slice.offset, slice.length)), std::move(slice.headers)});
  return parts;
}

std::optional<std::string> multipartPart(std::string_view name, const std::vector<Multipart>& parts) {
  auto part = firstNamed(name, parts);
  if (!part) return std::nullopt;
  return std::move(part->data);
}

std::optional<MultipartSlice> multipartPart(std::string_view name, const std::vector<MultipartSlice>& parts) {
  return firstNamed(name, parts);
}

MultipartHeaders parseDispositionParameters(std::string_view disposition) {
  std::optional<MultipartHeaders> table;
  for (auto piece : splitDroppingEmpty(disposition, ";")) table = parseHeaderParameter(std::move(table), piece);
  return table.value_or(MultipartHeaders{});
}

MultipartHeaders parseHeaderParameter(std::optional<MultipartHeaders> table, std::string_view parameter) {
  MultipartHeaders result = table ? std::move(*table) : MultipartHeaders{};
  auto pieces = splitDroppingEmpty(parameter, "=");
  if (pieces.empty()) return result;  // a piece of only "=" names nothing
  if (pieces.size() == 1) {
    result.erase(std::string(pieces[0]));
    return result;
  }
  std::string_view value = pieces[1];
  if (!value.empty() && value.front() == '"' && value.back() == '"') {
    value.remove_prefix(1);
    if (!value.empty()) value.remove_suffix(1);
  }
  result.insert_or_assign(std::string(trimmed(pieces[0])), std::string(value));
  return result;
}

std::optional<std::string> multipartBoundary(std::string_view contentType) {
  auto pieces = splitDroppingEmpty(contentType, "=");
  if (pieces.empty() || !pieces.back().starts_with("--")) return std::nullopt;
  return std::string(pieces.back());
}

}  // namespace kestrom

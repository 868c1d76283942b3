#pragma once
// Reading multipart/form-data bodies of the upload routes and the project route.
//
// The parser works on a byte view, so a body the server spooled to a temporary file (and mapped,
// see WebServerBody::view) is parsed in place: `locateMultipart` returns where each part's bytes
// lie without copying them, and a handler that stores a large upload writes that stretch of the
// mapping out directly. `parseMultipart` copies each part out, for the small fields.
//
// Layout accepted, byte by byte: the body opens with "--" and the boundary; each boundary line is
// followed by CR LF and a part, or by "--" and at least one more byte (the closing line). A part is
// header lines "Name: value" CR LF, an empty line, then the data up to CR LF "--" boundary. No
// preamble or epilogue is tolerated. Anything else is `MultipartParserError::malformedData`.
// Pure functions; any thread.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestromKit/base/Expected.h"

namespace kestrom {

enum class MultipartParserError {
  malformedData,
  tooManyParts,  // more parts, or header lines in one part, than the limits allow
};

/// The page's uploads have two or three parts of a few header lines each. Without a bound, a body
/// of millions of empty parts cost seven times its size in memory.
inline constexpr std::size_t kMaxMultipartParts = 256;
inline constexpr std::size_t kMaxMultipartHeaderLines = 32;

/// Header names as written (not case-folded), values as written after ": " (not trimmed).
using MultipartHeaders = std::map<std::string, std::string>;

/// One part of a multipart body, its bytes copied out.
struct Multipart {
  std::string data;
  MultipartHeaders headers;
  friend bool operator==(const Multipart&, const Multipart&) = default;
};

/// One part of a multipart body, its bytes left where they are: body.substr(offset, length).
struct MultipartSlice {
  std::size_t offset = 0;
  std::size_t length = 0;
  MultipartHeaders headers;
  friend bool operator==(const MultipartSlice&, const MultipartSlice&) = default;
};

/// The parts of `body` in order, for the boundary text of the request's Content-Type. Stops with
/// `tooManyParts` at part `maxParts` + 1 or a part's header line `kMaxMultipartHeaderLines` + 1.
[[nodiscard]] Expected<std::vector<MultipartSlice>, MultipartParserError> locateMultipart(
    std::string_view body, std::string_view boundary, std::size_t maxParts = kMaxMultipartParts);
[[nodiscard]] Expected<std::vector<Multipart>, MultipartParserError> parseMultipart(std::string_view body,
                                                                                    std::string_view boundary);

/// The data of the first part whose Content-Disposition parameter "name" is exactly `name`.
std::optional<std::string> multipartPart(std::string_view name, const std::vector<Multipart>& parts);
/// Same, for located parts: the first matching slice.
std::optional<MultipartSlice> multipartPart(std::string_view name, const std::vector<MultipartSlice>& parts);

/// The parameters of a Content-Disposition value ("form-data; name=\"file\"; filename=\"a.sb3\"").
MultipartHeaders parseDispositionParameters(std::string_view disposition);
/// One step of that reading: "key=value" stores key (trimmed) and value (one pair of surrounding
/// double quotes removed, cut at a second "="); a lone word removes the entry of that word; a piece
/// of only "=" changes nothing.
MultipartHeaders parseHeaderParameter(std::optional<MultipartHeaders> table, std::string_view parameter);

/// The boundary of a Content-Type value as the upload routes take it: the text after its last "=",
/// which must begin with "--" (every browser's boundary does). Absent otherwise.
std::optional<std::string> multipartBoundary(std::string_view contentType);

}  // namespace kestrom

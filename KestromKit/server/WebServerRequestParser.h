#pragma once
// Turning the first bytes of a connection into the request line and headers. A pure function of
// the bytes, so it can be fuzzed and tested without a socket; the server reads the bytes (bounded,
// with time-outs) and completes the body itself.
//
// The head is cut at the first CR LF CR LF; without one, the last four bytes are taken as its
// missing end. Lines that are not UTF-8 are dropped. The request line's last nine characters are
// the protocol version; what precedes them is "<method> <target>", the target a path (with an
// optional query and fragment) made only of the characters a URL may carry, or an "http" URL of
// such a path (the absolute form), whose authority the server checks as it checks a Host.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestromKit/server/WebServerTypes.h"

namespace kestrom {

/// What the head of a request says; the body starts at `bodyOffset` of the bytes parsed.
struct WebServerRequestHead {
  WebServerRequestMethod method = WebServerRequestMethod::unknown;
  std::map<std::string, std::string> headers;
  std::string path;
  std::vector<std::string> pathParts;
  URLComponents urlComponents;
  /// The authority of an absolute-form target ("127.0.0.1:8080"); absent for the origin form.
  std::optional<std::string> authority;
  std::size_t bodyOffset = 0;
};

/// The head of `bytes`, or nothing when it is unusable: no line, a request line under ten
/// characters or without "<method> <target>", a method that is not a token (RFC 9110), a target
/// that is not a path-and-query URL reference whose decoded path is UTF-8 (alone or after
/// "http://" and an authority), a header line without a colon, or a second Host, Origin or
/// Content-Length (names in any letter case).
std::optional<WebServerRequestHead> parseRequestHead(std::string_view bytes);

/// Where CR LF CR LF begins in `bytes`, searching from `from` (a caller that appends can resume).
std::optional<std::size_t> findHeadEnd(std::string_view bytes, std::size_t from = 0);

/// The "Content-Length" header (name in any letter case) read as a whole decimal number (an optional sign,
/// then digits, nothing else); nothing when absent, malformed or out of range.
std::optional<std::int64_t> declaredContentLength(const std::map<std::string, std::string>& headers);

/// Whether `bytes`, whose head is `head`, hold the whole body the head declares (none declared, or
/// no usable length: the body is what came with the head).
bool bodyIsHere(const WebServerRequestHead& head, std::string_view bytes);

/// Every value of the header `name` compared without regard to case (tools may send "host").
std::vector<std::string> headerValuesIgnoringCase(const std::map<std::string, std::string>& headers,
                                                  std::string_view name);

}  // namespace kestrom

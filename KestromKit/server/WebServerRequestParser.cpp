#include "KestromKit/server/WebServerRequestParser.h"

#include <algorithm>
#include <charconv>

#include "platform/AsciiCase.h"
#include "KestromKit/base/PathCheck.h"
#include "KestromKit/base/Utf8.h"

namespace kestrom {

namespace {

constexpr char kCR = 13;
constexpr char kLF = 10;

struct SplitHead {
  std::vector<std::string_view> lines;
  std::size_t headEnd = 0;
};

// Cuts the head into lines exactly as the request reader of the first release did, so what a
// client sees does not change: the scan stops four bytes short of the end, and a head without a
// blank line loses its last four bytes.
SplitHead splitHead(std::string_view bytes) {
  SplitHead out;
  const std::size_t n = bytes.size();
  if (n <= 4) {
    out.lines.emplace_back();
    out.headEnd = 0;
    return out;
  }
  std::size_t lineStart = 0;
  std::optional<std::size_t> headEnd;
  for (std::size_t i = 0; i + 5 <= n; ++i) {
    if (bytes[i] == kCR && bytes[i + 1] == kLF) {
      if (bytes[i + 2] == kCR && bytes[i + 3] == kLF) {
        headEnd = i;
        break;
      }
      out.lines.push_back(bytes.substr(lineStart, i - lineStart));
      lineStart = i + 2;
    }
  }
  std::size_t end = headEnd.value_or(n - 4);
  out.lines.push_back(end > lineStart ? bytes.substr(lineStart, end - lineStart) : std::string_view{});
  out.headEnd = end;
  return out;
}

std::size_t countCharacters(std::string_view utf8) {
  return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// `utf8` less its last `count` characters.
std::string_view dropLastCharacters(std::string_view utf8, std::size_t count) {
  std::size_t end = utf8.size();
  while (count > 0 && end > 0) {
    --end;
    if ((static_cast<unsigned char>(utf8[end]) & 0xC0) != 0x80) --count;
  }
  return utf8.substr(0, end);
}


// pchar of RFC 3986 plus "/" and "?", as path, query and fragment allow.
bool isURLCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-': case '.': case '_': case '~':                                   // unreserved
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*':    // sub-delims
    case '+': case ',': case ';': case '=':
    case ':': case '@': case '/': case '?':
      return true;
    default:
      return false;
  }
}

bool isURLPiece(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size() || asciiHexValue(text[i + 1]) < 0 || asciiHexValue(text[i + 2]) < 0) return false;
      i += 2;
    } else if (!isURLCharacter(text[i])) {
      return false;
    }
  }
  return true;
}

// The target read as the path and query of a fixed http base URL. Anything that would reach into
// the base's authority (no leading "/", "?" or "#") is refused rather than guessed at.
std::optional<URLComponents> parseTarget(std::string_view target) {
  std::size_t hash = target.find('#');
  if (hash != std::string_view::npos) {
    if (!isURLPiece(target.substr(hash + 1)) || target.substr(hash + 1).find('#') != std::string_view::npos)
      return std::nullopt;
    target = target.substr(0, hash);
  }
  if (!target.empty() && target.front() != '/' && target.front() != '?') {
    if (hash == std::string_view::npos || !target.empty()) return std::nullopt;
  }
  URLComponents components;
  std::size_t question = target.find('?');
  std::string_view path = target.substr(0, question);
  if (!isURLPiece(path)) return std::nullopt;
  components.percentEncodedPath = std::string(path);
  if (question != std::string_view::npos) {
    std::string_view query = target.substr(question + 1);
    if (!isURLPiece(query)) return std::nullopt;
    components.percentEncodedQuery = std::string(query);
  }
  return components;
}

// An absolute-form target ("http://127.0.0.1:8080/index.html"): its authority, which the server
// checks as it checks a Host header, and the rest as the origin form it stands for (an empty path
// is "/"). Nothing when `target` is not one; the authority is empty when it is unusable.
std::optional<std::pair<std::string_view, std::string>> splitAbsoluteForm(std::string_view target) {
  constexpr std::string_view kScheme = "http://";
  if (target.size() < kScheme.size() || !equalsIgnoringCase(target.substr(0, kScheme.size()), kScheme))
    return std::nullopt;
  target.remove_prefix(kScheme.size());
  const std::size_t end = std::min(target.find_first_of("/?#"), target.size());
  std::string_view authority = target.substr(0, end);
  if (!std::all_of(authority.begin(), authority.end(), [](char c) { return isURLCharacter(c) || c == '[' || c == ']'; }))
    authority = {};
  std::string_view rest = target.substr(end);
  return std::make_pair(authority, rest.starts_with('/') ? std::string(rest) : "/" + std::string(rest));
}

// tchar of RFC 9110: what a method (a token) may be made of.
bool isTokenCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-':
    case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

bool isToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), isTokenCharacter); }

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<std::size_t> findHeadEnd(std::string_view bytes, std::size_t from) {
  std::size_t at = bytes.find("\r\n\r\n", from);
  if (at == std::string_view::npos) return std::nullopt;
  return at;
}

std::optional<WebServerRequestHead> parseRequestHead(std::string_view bytes) {
  SplitHead split = splitHead(bytes);
  std::vector<std::string_view> lines;
  for (auto line : split.lines) {
    if (isValidUtf8(line)) lines.push_back(line);
  }
  if (lines.empty() || countCharacters(lines.front()) < 10) return std::nullopt;

  std::string_view requestLine = dropLastCharacters(lines.front(), 9);
  std::size_t blank = requestLine.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  std::string_view word = requestLine.substr(0, blank);
  std::string_view target = requestLine.substr(blank + 1);
  // An unknown method is routed (and refused there); one that is not even a token is malformed.
  if (!isToken(word)) return std::nullopt;

  WebServerRequestHead head;
  auto absolute = splitAbsoluteForm(target);
  if (absolute) {
    if (absolute->first.empty()) return std::nullopt;
    head.authority = std::string(absolute->first);
    target = absolute->second;
  }
  auto components = parseTarget(target);
  if (!components) return std::nullopt;

  head.method = webServerRequestMethod(word);
  // Two of these would let the checks read one and the handler the other: refused outright.
  bool seenHost = false, seenOrigin = false, seenLength = false;
  const std::pair<std::string_view, bool*> guardedNames[] = {
      {"Host", &seenHost}, {"Origin", &seenOrigin}, {"Content-Length", &seenLength}};
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::size_t colon = lines[i].find(':');
    if (colon == std::string_view::npos) {
      if (lines[i].empty()) continue;  // the end of a head that was cut off
      return std::nullopt;
    }
    std::string_view name = lines[i].substr(0, colon);
    for (auto [guarded, seen] : guardedNames) {
      if (!equalsIgnoringCase(name, guarded)) continue;
      if (*seen) return std::nullopt;
      *seen = true;
    }
    head.headers[std::string(name)] = std::string(trimBlanks(lines[i].substr(colon + 1)));
  }

  auto path = percentDecode(components->percentEncodedPath);
  if (!path || !isValidUtf8(*path)) return std::nullopt;
  head.path = *path == "/" ? "/index.html" : *path;
  std::string_view rest = head.path;
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    if (slash != 0) head.pathParts.emplace_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  head.urlComponents = std::move(*components);
  head.bodyOffset = std::min(split.headEnd + 4, bytes.size());
  return head;
}

bool bodyIsHere(const WebServerRequestHead& head, std::string_view bytes) {
  const auto length = declaredContentLength(head.headers);
  const std::size_t here = bytes.size() - std::min(bytes.size(), head.bodyOffset);
  return !length || *length <= static_cast<std::int64_t>(here);
}

std::optional<std::int64_t> declaredContentLength(const std::map<std::string, std::string>& headers) {
  auto values = headerValuesIgnoringCase(headers, "Content-Length");
  if (values.size() != 1) return std::nullopt;
  std::string_view text = values.front();
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (magnitude > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  auto value = static_cast<std::int64_t>(magnitude);
  return negative ? -value : value;
}

std::vector<std::string> headerValuesIgnoringCase(const std::map<std::string, std::string>& headers,
                                                  std::string_view name) {
  std::vector<std::string> values;
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) values.push_back(value);
  }
  return values;
}

}  // namespace kestrom

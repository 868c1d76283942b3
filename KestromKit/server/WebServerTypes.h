#pragma once
// The values the local HTTP server and its handlers exchange: one parsed request, its method, its
// body (in memory, or spooled to a temporary file when large) and the ten answers a handler gives.
// Plain values: copy them freely between threads; a spooled body is shared, never copied.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrom {

/// `head` is routed as `get` and answered with GET's head alone.
enum class WebServerRequestMethod { get, post, options, unknown, head };

/// "GET", "POST", "OPTIONS", "UNKNOWN", "HEAD".
std::string_view rawValue(WebServerRequestMethod method);
/// Case-sensitive: "get" and "PUT" are `unknown`.
WebServerRequestMethod webServerRequestMethod(std::string_view word);

/// One query item; `value` is absent for an item without "=" ("?flag").
struct URLQueryItem {
  std::string name;
  std::optional<std::string> value;
  friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

/// The request target split as a URL parser splits it. `percentEncodedPath` and
/// `percentEncodedQuery` are the texts as sent; `path()` and `query()` decode them.
struct URLComponents {
  std::string percentEncodedPath;
  std::optional<std::string> percentEncodedQuery;  // absent when the target has no "?"

  std::string path() const;
  /// The decoded query text; absent without "?" or when it does not decode as UTF-8.
  std::optional<std::string> query() const;
  /// Items split at "&" and the first "=", each decoded ("+" stays "+").
  std::vector<URLQueryItem> queryItems() const;
  /// The value of the first item called `name`, if any.
  std::optional<std::string> queryValue(std::string_view name) const;
};

/// The bytes after the request head. Small bodies live in memory; large ones are spooled to a
/// temporary file by the server and mapped read-only, so `view()` never copies them. The spooled
/// file is removed when the last copy of the body goes away.
class WebServerBody {
 public:
  WebServerBody() = default;
  explicit WebServerBody(std::string bytes);
  /// Takes ownership of a finished temporary file (removed with the body) and maps it.
  /// Empty optional when the file cannot be opened or mapped; the file is removed then too.
  static std::optional<WebServerBody> adoptFile(const std::filesystem::path& path);

  std::string_view view() const;
  std::size_t size() const { return view().size(); }
  bool empty() const { return size() == 0; }
  /// The spooled file, for handlers that would rather link or rename it than copy it.
  std::optional<std::filesystem::path> file() const;

 private:
  struct Storage;
  std::shared_ptr<const Storage> storage_;
};

struct WebServerRequest {
  WebServerRequestMethod method = WebServerRequestMethod::unknown;
  /// Names as sent; `header` finds them in any letter case. Host, Origin and Content-Length never
  /// come twice (such a request is refused with 400).
  std::map<std::string, std::string> headers;
  /// Percent-decoded; "/" arrives as "/index.html". Not yet checked: resolve it with PathCheck.
  std::string path;
  std::vector<std::string> pathParts;
  URLComponents urlComponents;
  WebServerBody body;
  std::string defaultLanguage;
  std::string fallbackLanguage;
  std::filesystem::path prepacked;
  std::filesystem::path webroot;
  /// The only folders whose files may be served by absolute path (temporary, data, content,
  /// recordings); see PathCheck's `checkHandedOutPath`.
  std::vector<std::filesystem::path> handedOutFolders;
  std::chrono::steady_clock::time_point time{};

  /// The value of the header called `name` in any letter case, if present.
  const std::string* header(std::string_view name) const;
};

using WebServerHeaders = std::vector<std::pair<std::string, std::string>>;

/// A read-only open file shared between the handler that checked it and the server that sends it,
/// so what is sent is the file that was checked even if the path is replaced meanwhile.
class WebServerOpenFile {
 public:
  /// Opens `path` read-only (O_NOFOLLOW-free; symlinks are the path checker's business).
  /// `regularOnly` refuses directories, devices, FIFOs and sockets. Absent on failure.
  static std::shared_ptr<const WebServerOpenFile> open(const std::filesystem::path& path, bool regularOnly = true);
  /// As `open`, for a descriptor the caller opened (read-only, non-blocking) and hands over:
  /// closed here when refused. A negative `fd` is a failed open whose errno still stands.
  static std::shared_ptr<const WebServerOpenFile> adopt(int fd, std::filesystem::path path, bool regularOnly = true);
  /// How many opens on this thread failed for want of descriptors or memory (EMFILE, ENFILE,
  /// ENOMEM): a handler compares before and after, to answer 503 instead of 404.
  static std::uint64_t shortagesOnThisThread();
  ~WebServerOpenFile();
  WebServerOpenFile(const WebServerOpenFile&) = delete;
  WebServerOpenFile& operator=(const WebServerOpenFile&) = delete;

  int fd() const { return fd_; }
  std::uint64_t size() const { return size_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  WebServerOpenFile(int fd, std::uint64_t size, std::filesystem::path path)
      : fd_(fd), size_(size), path_(std::move(path)) {}
  int fd_;
  std::uint64_t size_;
  std::filesystem::path path_;
};

/// A stretch of an open file to send as the body, streamed by the server with sendfile(2) so large
/// files never sit whole in memory.
struct WebServerFileRegion {
  std::shared_ptr<const WebServerOpenFile> file;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;

  /// The whole of `file`.
  static WebServerFileRegion whole(std::shared_ptr<const WebServerOpenFile> file);
};

/// What every handler answers. `ok` and `partial` carry headers and a body (bytes or a file
/// region); `redirect` a location; `rangeNotSatisfiable` headers only ("Content-Range: bytes */N");
/// the other six (`notFound`, `badRequest`, `serverError`, `serviceUnavailable`, `forbidden`,
/// `payloadTooLarge`) nothing.
class WebServerResponse {
 public:
  enum class Kind { ok, partial, redirect, notFound, badRequest, serverError, rangeNotSatisfiable, serviceUnavailable, forbidden,
                    payloadTooLarge };

  static WebServerResponse ok(WebServerHeaders headers = {}, std::string body = {});
  static WebServerResponse ok(WebServerHeaders headers, WebServerFileRegion file);
  static WebServerResponse partial(WebServerHeaders headers, std::string body);
  static WebServerResponse partial(WebServerHeaders headers, WebServerFileRegion file);
  static WebServerResponse redirect(std::string location, WebServerHeaders headers = {});
  static WebServerResponse notFound() { return WebServerResponse(Kind::notFound); }
  static WebServerResponse badRequest() { return WebServerResponse(Kind::badRequest); }
  static WebServerResponse serverError() { return WebServerResponse(Kind::serverError); }
  /// Out of descriptors or memory for a moment: the client may try again.
  static WebServerResponse serviceUnavailable() { return WebServerResponse(Kind::serviceUnavailable); }
  static WebServerResponse forbidden() { return WebServerResponse(Kind::forbidden); }
  static WebServerResponse payloadTooLarge() { return WebServerResponse(Kind::payloadTooLarge); }
  static WebServerResponse rangeNotSatisfiable(WebServerHeaders headers);

  Kind kind() const { return kind_; }
  /// 200, 206, 307, 404, 400, 500, 416, 503, 403, 413.
  int statusCode() const;
  /// The fixed texts of the status line: "200 OK", "206 Partial content", "307 Temporary Redirect",
  /// "404 NOT FOUND", "400 BAD REQUEST", "500 INTERNAL SERVER ERROR", "416 RANGE NOT SATISFIABLE",
  /// "503 SERVICE UNAVAILABLE", "403 FORBIDDEN", "413 PAYLOAD TOO LARGE".
  std::string_view statusText() const;

  /// The headers to write after the CORS line: the handler's own, or ("Location", …) and the
  /// handler's own for a redirect.
  WebServerHeaders headers() const;
  const std::string& body() const { return body_; }
  const std::optional<WebServerFileRegion>& file() const { return file_; }
  std::uint64_t bodyLength() const { return file_ ? file_->length : body_.size(); }

  /// First header named exactly `name`, if any (for tests and the log).
  std::optional<std::string> headerValue(std::string_view name) const;

 private:
  explicit WebServerResponse(Kind kind) : kind_(kind) {}
  /// An answer of `kind` with `headers` and a body held in memory or read from a file.
  static WebServerResponse withBody(Kind kind, WebServerHeaders headers, std::string body,
                                    std::optional<WebServerFileRegion> file);
  Kind kind_;
  WebServerHeaders headers_;
  std::string body_;
  std::optional<WebServerFileRegion> file_;
  std::string location_;
};

}  // namespace kestrom

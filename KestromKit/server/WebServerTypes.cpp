#include "KestromKit/server/WebServerTypes.h"

#include <fcntl.h>
#include <algorithm>
#include <cerrno>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>


#include "KestromKit/base/PathCheck.h"
#include "platform/AsciiCase.h"

namespace kestrom {
namespace fs = std::filesystem;

std::string_view rawValue(WebServerRequestMethod method) {
  switch (method) {
    case WebServerRequestMethod::get: return "GET";
    case WebServerRequestMethod::post: return "POST";
    case WebServerRequestMethod::options: return "OPTIONS";
    case WebServerRequestMethod::unknown: return "UNKNOWN";
    case WebServerRequestMethod::head: return "HEAD";
  }
  return "UNKNOWN";
}

WebServerRequestMethod webServerRequestMethod(std::string_view word) {
  if (word == "GET") return WebServerRequestMethod::get;
  if (word == "POST") return WebServerRequestMethod::post;
  if (word == "OPTIONS") return WebServerRequestMethod::options;
  if (word == "HEAD") return WebServerRequestMethod::head;
  return WebServerRequestMethod::unknown;
}

// URLComponents

std::string URLComponents::path() const {
  auto decoded = percentDecode(percentEncodedPath);
  return decoded ? *decoded : percentEncodedPath;
}

std::optional<std::string> URLComponents::query() const {
  if (!percentEncodedQuery) return std::nullopt;
  auto decoded = percentDecode(*percentEncodedQuery);
  if (!decoded) return std::nullopt;
  return *decoded;
}

std::vector<URLQueryItem> URLComponents::queryItems() const {
  std::vector<URLQueryItem> items;
  if (!percentEncodedQuery) return items;
  auto decode = [](std::string_view text) {
    auto d = percentDecode(text);
    return d ? *d : std::string(text);
  };
  std::string_view rest = *percentEncodedQuery;
  while (true) {
    std::size_t amp = rest.find('&');
    std::string_view item = rest.substr(0, amp);
    std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      items.push_back({decode(item), std::nullopt});
    } else {
      items.push_back({decode(item.substr(0, eq)), decode(item.substr(eq + 1))});
    }
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  return items;
}

std::optional<std::string> URLComponents::queryValue(std::string_view name) const {
  for (auto& item : queryItems()) {
    if (item.name == name) return item.value;
  }
  return std::nullopt;
}

// WebServerBody

struct WebServerBody::Storage {
  std::string bytes;
  // Set for a spooled body: the mapping and the file it came from, removed together.
  void* mapping = nullptr;
  std::size_t mappedSize = 0;
  std::optional<fs::path> file;

  ~Storage() {
    if (mapping) ::munmap(mapping, mappedSize);
    if (file) {
      std::error_code ec;
      fs::remove(*file, ec);
    }
  }
  std::string_view view() const {
    if (file) return {static_cast<const char*>(mapping), mappedSize};
    return bytes;
  }
};

WebServerBody::WebServerBody(std::string bytes) {
  auto storage = std::make_shared<Storage>();
  storage->bytes = std::move(bytes);
  storage_ = std::move(storage);
}

std::optional<WebServerBody> WebServerBody::adoptFile(const fs::path& path) {
  auto storage = std::make_shared<Storage>();
  storage->file = path;  // from here on the file goes when the storage goes
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  if (st.st_size > 0) {
    void* mapping = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapping == MAP_FAILED) {
      ::close(fd);
      return std::nullopt;
    }
    storage->mapping = mapping;
    storage->mappedSize = static_cast<std::size_t>(st.st_size);
  }
  ::close(fd);  // the mapping keeps the pages
  WebServerBody body;
  body.storage_ = std::move(storage);
  return body;
}

std::string_view WebServerBody::view() const {
  return storage_ ? storage_->view() : std::string_view{};
}

std::optional<fs::path> WebServerBody::file() const {
  return storage_ ? storage_->file : std::nullopt;
}

// WebServerRequest

const std::string* WebServerRequest::header(std::string_view name) const {
  auto it = headers.find(std::string(name));
  if (it != headers.end()) return &it->second;
  for (const auto& [key, value] : headers)
    if (equalsIgnoringCase(key, name)) return &value;
  return nullptr;
}

// WebServerOpenFile

namespace {
thread_local std::uint64_t openShortages = 0;
}

std::uint64_t WebServerOpenFile::shortagesOnThisThread() { return openShortages; }

std::shared_ptr<const WebServerOpenFile> WebServerOpenFile::open(const fs::path& path, bool regularOnly) {
  // A FIFO must not block the open.
  return adopt(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK), path, regularOnly);
}

std::shared_ptr<const WebServerOpenFile> WebServerOpenFile::adopt(int fd, fs::path path, bool regularOnly) {
  if (fd < 0) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) ++openShortages;
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || (regularOnly && !S_ISREG(st.st_mode))) {
    ::close(fd);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {  // O_NONBLOCK means nothing to a regular file: spare the calls
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  return std::shared_ptr<const WebServerOpenFile>(
      new WebServerOpenFile(fd, S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0, std::move(path)));
}

WebServerOpenFile::~WebServerOpenFile() { ::close(fd_); }

WebServerFileRegion WebServerFileRegion::whole(std::shared_ptr<const WebServerOpenFile> file) {
  std::uint64_t size = file ? file->size() : 0;
  return WebServerFileRegion{std::move(file), 0, size};
}

// WebServerResponse

WebServerResponse WebServerResponse::withBody(Kind kind, WebServerHeaders headers, std::string body,
                                              std::optional<WebServerFileRegion> file) {
  WebServerResponse r(kind);
  r.headers_ = std::move(headers);
  r.body_ = std::move(body);
  r.file_ = std::move(file);
  return r;
}

WebServerResponse WebServerResponse::ok(WebServerHeaders headers, std::string body) {
  return withBody(Kind::ok, std::move(headers), std::move(body), std::nullopt);
}

WebServerResponse WebServerResponse::ok(WebServerHeaders headers, WebServerFileRegion file) {
  return withBody(Kind::ok, std::move(headers), {}, std::move(file));
}

WebServerResponse WebServerResponse::partial(WebServerHeaders headers, std::string body) {
  return withBody(Kind::partial, std::move(headers), std::move(body), std::nullopt);
}

WebServerResponse WebServerResponse::partial(WebServerHeaders headers, WebServerFileRegion file) {
  return withBody(Kind::partial, std::move(headers), {}, std::move(file));
}

WebServerResponse WebServerResponse::rangeNotSatisfiable(WebServerHeaders headers) {
  WebServerResponse r(Kind::rangeNotSatisfiable);
  r.headers_ = std::move(headers);
  return r;
}

WebServerResponse WebServerResponse::redirect(std::string location, WebServerHeaders headers) {
  WebServerResponse r(Kind::redirect);
  r.location_ = std::move(location);
  r.headers_ = std::move(headers);
  return r;
}

int WebServerResponse::statusCode() const {
  switch (kind_) {
    case Kind::ok: return 200;
    case Kind::partial: return 206;
    case Kind::redirect: return 307;
    case Kind::notFound: return 404;
    case Kind::badRequest: return 400;
    case Kind::serverError: return 500;
    case Kind::rangeNotSatisfiable: return 416;
    case Kind::serviceUnavailable: return 503;
    case Kind::forbidden: return 403;
    case Kind::payloadTooLarge: return 413;
  }
  return 500;
}

std::string_view WebServerResponse::statusText() const {
  switch (kind_) {
    case Kind::ok: return "200 OK";
    case Kind::partial: return "206 Partial content";
    case Kind::redirect: return "307 Temporary Redirect";
    case Kind::notFound: return "404 NOT FOUND";
    case Kind::badRequest: return "400 BAD REQUEST";
    case Kind::serverError: return "500 INTERNAL SERVER ERROR";
    case Kind::rangeNotSatisfiable: return "416 RANGE NOT SATISFIABLE";
    case Kind::serviceUnavailable: return "503 SERVICE UNAVAILABLE";
    case Kind::forbidden: return "403 FORBIDDEN";
    case Kind::payloadTooLarge: return "413 PAYLOAD TOO LARGE";
  }
  return "500 INTERNAL SERVER ERROR";
}

WebServerHeaders WebServerResponse::headers() const {
  switch (kind_) {
    case Kind::ok:
    case Kind::partial:
    case Kind::rangeNotSatisfiable: return headers_;
    case Kind::redirect: {
      WebServerHeaders out{{"Location", location_}};
      out.insert(out.end(), headers_.begin(), headers_.end());
      return out;
    }
    default: return {};
  }
}

std::optional<std::string> WebServerResponse::headerValue(std::string_view name) const {
  for (auto& [n, v] : headers()) {
    if (n == name) return v;
  }
  return std::nullopt;
}

}  // namespace kestrom

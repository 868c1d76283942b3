#include "KestromKit/server/ContentServing.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "KestromKit/server/ByteRange.h"
#include "KestromKit/server/ContentTypes.h"
#include "KestromKit/base/PathCheck.h"
#include "KestromKit/server/SrtToWebVtt.h"
#include "KestromKit/base/URLText.h"

namespace kestrom {
namespace fs = std::filesystem;

namespace {

/// Subtitle files are converted in memory, so one request holds about three times this; a cue track of
/// a video runs to a few hundred KiB.
constexpr std::uint64_t kMaxSubtitleBytes = 512 * 1024;

using OpenFile = std::shared_ptr<const WebServerOpenFile>;

constexpr PathCheckOptions kRegularFile{.percentEncoded = false, .allowLeadingSlash = true, .regularFileOnly = true};

/// Every non-overlapping "/content/" (left to right) written "/".
std::string withoutContentSegments(std::string_view path) {
  constexpr std::string_view kSegment = "/content/";
  std::string out;
  out.reserve(path.size());
  std::size_t start = 0;
  for (auto hit = path.find(kSegment); hit != std::string_view::npos; hit = path.find(kSegment, start)) {
    out.append(path.substr(start, hit - start));
    out += '/';
    start = hit + kSegment.size();
  }
  out.append(path.substr(start));
  return out;
}

bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }

/// "/ll-CC" at `at`, the six characters of a language folder after its slash.
bool isLanguageAt(std::string_view text, std::size_t at) {
  return at + 6 <= text.size() && text[at] == '/' && isLower(text[at + 1]) && isLower(text[at + 2]) &&
         text[at + 3] == '-' && isUpper(text[at + 4]) && isUpper(text[at + 5]);
}

/// The first candidate of the lookup order that opens as a regular file.
OpenFile findStaticFile(const WebServerRequest& request, const fs::path& contentFolder) {
  const std::string& path = request.path;
  const std::string contentPath = withoutContentSegments(path);
  std::set<fs::path> tried;

  auto open = [&](const Expected<fs::path, PathCheckError>& resolved) -> OpenFile {
    if (!resolved || !tried.insert(*resolved).second) return nullptr;
    return WebServerOpenFile::open(*resolved, /*regularOnly=*/true);
  };
  // A root, then the same root with the language folder named by each configured language.
  auto openUnder = [&](const fs::path& root) -> OpenFile {
    if (auto file = open(resolveUnder(root, contentPath, kRegularFile))) return file;
    for (const auto& language : {request.defaultLanguage, request.fallbackLanguage}) {
      if (!checkPathComponent(language)) continue;
      if (auto file = open(resolveUnder(root, rewriteLanguage(contentPath, language), kRegularFile))) return file;
    }
    return nullptr;
  };

  if (auto file = open(resolveUnder(request.webroot, path, kRegularFile))) return file;
  if (auto file = openUnder(contentFolder)) return file;
  if (auto file = openUnder(request.prepacked)) return file;
  // The path as an absolute one: only inside the host's own folders (temporary files, data,
  // content, recordings), never anywhere else on the disk.
  if (!request.handedOutFolders.empty()) return open(checkHandedOutPath(path, request.handedOutFolders));
  return nullptr;
}

/// The bytes of `file`, when it holds at most `limit` of them.
std::optional<std::string> readWhole(const WebServerOpenFile& file, std::uint64_t limit) {
  if (file.size() > limit) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(file.size()), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto n = ::pread(file.fd(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    done += static_cast<std::size_t>(n);
  }
  return bytes;
}

/// The "Range" header: its exact name first, then any spelling, since header names are
/// case-insensitive on the wire.
const std::string* rangeHeader(const WebServerRequest& request) {
  if (const auto* exact = request.header("Range")) return exact;
  for (const auto& [name, value] : request.headers) {
    if (name.size() != 5) continue;
    bool same = true;
    for (std::size_t i = 0; i < 5; ++i) same = same && (name[i] | 0x20) == "range"[i];
    if (same) return &value;
  }
  return nullptr;
}

template <class Handler>
WebServerResponse neverThrowing(Handler&& handler) {
  try {
    const auto shortages = WebServerOpenFile::shortagesOnThisThread();
    WebServerResponse response = handler();
    // A file that could not be opened for want of descriptors may well exist: "try again", not
    // "there is none".
    if (response.kind() == WebServerResponse::Kind::notFound && WebServerOpenFile::shortagesOnThisThread() != shortages)
      return WebServerResponse::serviceUnavailable();
    return response;
  } catch (...) {  // an allocation or a file-system error must not take the connection's thread down
    return WebServerResponse::serverError();
  }
}

}  // namespace

std::string rewriteLanguage(std::string_view path, std::string_view language) {
  std::string out;
  out.reserve(path.size() + language.size());
  std::size_t i = 0;
  while (i < path.size()) {
    if (isLanguageAt(path, i) && i + 6 < path.size() && path[i + 6] == '/') {
      out += '/';
      out += language;
      out += '/';
      i += 7;
    } else {
      out += path[i++];
    }
  }
  if (out.size() >= 6 && isLanguageAt(out, out.size() - 6)) {
    out.resize(out.size() - 6);
    out += '/';
    out += language;
  }
  return out;
}

WebServerResponse serveStaticFile(const WebServerRequest& request, const fs::path& contentFolder) {
  return neverThrowing([&] {
    auto file = findStaticFile(request, contentFolder);
    if (!file) return WebServerResponse::notFound();
    return WebServerResponse::ok({{"Content-Type", contentTypeForFileName(request.path)}},
                                 WebServerFileRegion::whole(std::move(file)));
  });
}

WebServerResponse serveByteRange(const WebServerRequest& request, const fs::path& contentFolder) {
  return neverThrowing([&] {
    auto file = findStaticFile(request, contentFolder);
    if (!file) return WebServerResponse::notFound();
    const std::uint64_t size = file->size();
    const std::string type = contentTypeForFileName(request.path);

    ByteRangeSelection selection;
    const auto* range = rangeHeader(request);
    // A client that sends If-Range holds a validator this server never issued, so it cannot
    // match: the whole file is the answer then.
    if (range && !request.header("If-Range")) selection = selectByteRange(*range, size);

    switch (selection.kind) {
      case ByteRangeSelection::Kind::whole:
        return WebServerResponse::ok({{"Content-Type", type}, {"Content-Length", std::to_string(size)}},
                                     WebServerFileRegion::whole(std::move(file)));
      case ByteRangeSelection::Kind::unsatisfiable:
        return WebServerResponse::rangeNotSatisfiable({{"Content-Range", "bytes */" + std::to_string(size)}});
      case ByteRangeSelection::Kind::part: break;
    }
    WebServerHeaders headers{
        {"Accept-Ranges", "bytes"},
        {"Content-Type", type},
        {"Content-Length", std::to_string(selection.count())},
        {"Content-Range", "bytes " + std::to_string(selection.first) + "-" + std::to_string(selection.last) + "/" +
                              std::to_string(size)},
    };
    return WebServerResponse::partial(std::move(headers),
                                      WebServerFileRegion{std::move(file), selection.first, selection.count()});
  });
}

WebServerResponse serveSubtitles(const WebServerRequest& request, const fs::path& contentFolder) {
  return neverThrowing([&] {
    const auto query = request.urlComponents.query();
    if (!query) return WebServerResponse::notFound();
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0; start <= query->size();) {
      auto end = query->find('=', start);
      if (end == std::string::npos) end = query->size();
      if (end > start) pieces.push_back(std::string_view(*query).substr(start, end - start));
      start = end + 1;
    }
    if (pieces.size() != 2) return WebServerResponse::notFound();
    const auto path = urlPath(pieces[1]);
    if (!path) return WebServerResponse::notFound();

    WebServerRequest lookup;
    lookup.path = *path;
    lookup.defaultLanguage = request.defaultLanguage;
    lookup.fallbackLanguage = request.fallbackLanguage;
    lookup.prepacked = request.prepacked;
    lookup.webroot = request.webroot;
    lookup.handedOutFolders = request.handedOutFolders;
    lookup.time = request.time;
    auto file = findStaticFile(lookup, contentFolder);
    if (!file) return WebServerResponse::notFound();

    // The page's video element reads WebVTT, whatever the file was called.
    WebServerHeaders headers{{"Content-Type", "text/vtt"}};
    if (path->ends_with(".vtt") || path->ends_with(".webvtt"))
      return WebServerResponse::ok(std::move(headers), WebServerFileRegion::whole(std::move(file)));
    const auto srt = readWhole(*file, kMaxSubtitleBytes);
    if (!srt) return WebServerResponse::serverError();
    auto vtt = convertSrtToWebVtt(*srt);
    if (!vtt) return WebServerResponse::serverError();
    return WebServerResponse::ok(std::move(headers), std::move(*vtt));
  });
}

WebServerResponse serveContentManifest(const WebServerRequest& /*request*/, std::string_view language,
                                       const ContentManifestSource& content, std::string_view defaultLanguage) {
  return neverThrowing([&] {
    const fs::path folder = content.contentPath();
    for (const std::string_view candidate : {language, defaultLanguage}) {
      const auto checked = checkPathComponent(candidate);
      if (!checked) continue;
      if (!resolveUnder(folder, *checked + "/manifest.json", kRegularFile)) continue;
      // Only the first language whose package has a manifest file is read; a manifest that does
      // not decode is not replaced by the other language's.
      const auto manifest = content.readManifest(*checked);
      if (!manifest) return WebServerResponse::notFound();
      auto json = encodeText(*manifest);
      if (!json) return WebServerResponse::notFound();
      return WebServerResponse::ok({{"Content-Type", contentTypeForFileName("manifest.json")}}, std::move(*json));
    }
    return WebServerResponse::notFound();
  });
}

}  // namespace kestrom

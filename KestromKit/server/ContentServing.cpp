#include "KestromKit/server/ContentServing.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <vector>

#include "KestromKit/server/ByteRange.h"
#include "KestromKit/server/ContentTypes.h"
#include "KestromKit/base/PathCheck.h"
#include "KestromKit/server/SrtToWebVtt.h"
#include "KestromKit/base/URLText.h"
#include "platform/files/DescriptorIO.h"

namespace kestrom {
namespace fs = std::filesystem;

namespace {

/// Subtitle files are converted in memory, so one request holds about three times this; a cue track of
/// a video runs to a few hundred KiB.
constexpr std::uint64_t kMaxSubtitleBytes = 512 * 1024;

using OpenFile = std::shared_ptr<const WebServerOpenFile>;

constexpr PathCheckOptions kRegularFile{.percentEncoded = false, .allowLeadingSlash = true, .regularFileOnly = true};

/// The roots files are served from, each held open as a directory descriptor (opened anew once its
/// path names another folder). A file below one is then opened with openat2(2) and RESOLVE_BENEATH:
/// the kernel resolves the whole path, links included, and refuses any step out of the root, in the
/// same call that opens the file, so a link swapped in between a check and the open cannot lead
/// elsewhere, and no path is resolved twice.
/// Where the kernel lacks openat2 (before Linux 5.6) the path check resolves and opens as before.
class Roots {
 public:
  static Roots& shared() {
    static Roots roots;
    return roots;
  }

  /// The file `relative` (checked: no "..", no absolute form) under `root`; nothing when the
  /// kernel cannot do it, or when no descriptor can be had (the caller checks the path itself,
  /// which tells a missing file from one that cannot be opened now).
  std::optional<OpenFile> open(const fs::path& root, const fs::path& relative) {
    if (unsupported_.load(std::memory_order_relaxed)) return std::nullopt;
    auto directory = find(root);
    // A root replaced on disk (content downloaded anew, restored, or updated by a rename) is
    // served from its new folder at once, files both folders have included.
    if (directory && isStale(*directory, root)) directory = find(root, /*reopen=*/true);
    if (!directory) return isShortage(errno) ? std::nullopt : std::optional<OpenFile>(OpenFile{});
    int fd = openBeneath(directory->fd, relative);
    if (fd < 0 && errno == ENOSYS) {
      unsupported_ = true;
      return std::nullopt;
    }
    if (fd < 0 && isShortage(errno)) return std::nullopt;
    return WebServerOpenFile::adopt(fd, root / relative, /*regularOnly=*/true);
  }

 private:
  struct Directory {
    explicit Directory(int descriptor) : fd(descriptor) {}
    ~Directory() { ::close(fd); }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    const int fd;
  };
  // A handful of roots serve a host; tests make many, so the oldest are let go past this.
  static constexpr std::size_t kMostRoots = 16;

  static bool isShortage(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

  static int openBeneath(int directory, const fs::path& relative) {
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;  // a FIFO must not block the open
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd;
    do {
      fd = ::syscall(SYS_openat2, directory, relative.c_str(), &how, sizeof how);
    } while (fd < 0 && (errno == EINTR || errno == EAGAIN));
    return static_cast<int>(fd);
  }

  /// True when `root` no longer names the folder `directory` holds open (or names nothing).
  static bool isStale(const Directory& directory, const fs::path& root) {
    struct stat opened {}, named {};
    if (::fstat(directory.fd, &opened) != 0 || ::stat(root.c_str(), &named) != 0) return true;
    return opened.st_dev != named.st_dev || opened.st_ino != named.st_ino;
  }

  std::shared_ptr<const Directory> find(const fs::path& root, bool reopen = false) {
    if (!reopen) {
      std::shared_lock lock(mutex_);
      auto it = directories_.find(root.native());
      if (it != directories_.end()) return it->second;
    }
    if (root.empty()) {
      errno = ENOENT;
      return nullptr;
    }
    int fd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;  // errno tells why
    auto directory = std::make_shared<const Directory>(fd);
    std::unique_lock lock(mutex_);
    if (directories_.size() >= kMostRoots && !directories_.contains(root.native())) {
      directories_.erase(order_.front());
      order_.erase(order_.begin());
    }
    if (!directories_.contains(root.native())) order_.push_back(root.native());
    directories_[root.native()] = directory;
    return directory;
  }

  std::atomic<bool> unsupported_{false};
  std::shared_mutex mutex_;  // guards the two below
  std::map<std::string, std::shared_ptr<const Directory>> directories_;
  std::vector<std::string> order_;  // oldest first
};

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
  auto openBelow = [&](const fs::path& root, std::string_view text) -> OpenFile {
    auto relative = checkRelativePath(text, kRegularFile);
    if (!relative || root.empty() || !tried.insert(root / *relative).second) return nullptr;
    if (auto file = Roots::shared().open(root, *relative)) return *file;
    auto resolved = resolveUnder(root, text, kRegularFile);
    return resolved ? WebServerOpenFile::open(*resolved, /*regularOnly=*/true) : nullptr;
  };
  // A root, then the same root with the language folder named by each configured language.
  auto openUnder = [&](const fs::path& root) -> OpenFile {
    if (auto file = openBelow(root, contentPath)) return file;
    for (const auto& language : {request.defaultLanguage, request.fallbackLanguage}) {
      if (!checkPathComponent(language)) continue;
      if (auto file = openBelow(root, rewriteLanguage(contentPath, language))) return file;
    }
    return nullptr;
  };

  if (auto file = openBelow(request.webroot, path)) return file;
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
  if (!files::readFully(file.fd(), bytes.data(), 0, bytes.size())) return std::nullopt;
  return bytes;
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
    const auto* range = request.header("Range");
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
      auto json = content.manifestJSON(*checked);
      if (!json) return WebServerResponse::notFound();
      return WebServerResponse::ok({{"Content-Type", contentTypeForFileName("manifest.json")}}, std::move(*json));
    }
    return WebServerResponse::notFound();
  });
}

}  // namespace kestrom

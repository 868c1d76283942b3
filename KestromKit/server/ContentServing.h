#pragma once
// The handlers of the local HTTP server that serve files: the web application and content files,
// a content package's manifest, video byte ranges and subtitles converted to WebVTT.
//
// Every path from the page is checked by PathCheck segment by segment, then opened under one of
// the roots (web root, downloaded content, prepacked content) by the kernel, which keeps every
// step of its resolution, links included, under that root (openat2 with RESOLVE_BENEATH; a link
// that leaves the root, absolute links among them, serves nothing). As an absolute path it is
// served only inside the folders the host hands out. Only regular files are served. Files are
// answered as open-file regions that the server streams, so no video is ever read whole into
// memory.
//
// Free functions: they run on the thread that answers the connection (a worker, or the server's
// run loop for a static file), read the disk synchronously, and report every outcome as a
// WebServerResponse (they never throw). The roots' directory descriptors are kept, process-wide,
// from one request to the next.

#include <filesystem>
#include <string>
#include <string_view>

#include "KestromKit/server/ContentManifestSource.h"
#include "KestromKit/server/WebServerTypes.h"

namespace kestrom {

/// The first regular file among, in order: the web root with the path; the content folder, then
/// the prepacked content, each with the path less its "/content/" segments, as it is and with its
/// language folder (ll-CC) replaced by the default and then the fallback language; and the path
/// itself when it lies in a folder the host hands out. 200 with "Content-Type" (of the request
/// path), or 404.
WebServerResponse serveStaticFile(const WebServerRequest& request, const std::filesystem::path& contentFolder);

/// A ".mp4" below "/content", found as `serveStaticFile` finds it. Without a usable single
/// "Range": 200 with "Content-Type" and "Content-Length". With one: 206 with "Accept-Ranges",
/// "Content-Type", "Content-Length" and "Content-Range"; 416 with "Content-Range: bytes */<size>"
/// when the range lies outside the file. 404 when there is no such file.
WebServerResponse serveByteRange(const WebServerRequest& request, const std::filesystem::path& contentFolder);

/// "/subtitles?<key>=<url>": the file at the URL's path, found as `serveStaticFile` finds it, sent
/// as WebVTT ("Content-Type" "text/vtt"): ".vtt" and ".webvtt" files as they are, anything else
/// converted from SubRip. 404 without a single "key=url" query or file; 500 when the file is not
/// UTF-8 or too large to convert.
WebServerResponse serveSubtitles(const WebServerRequest& request, const std::filesystem::path& contentFolder);

/// "/content/<language>/manifest.json": the manifest of the first of `language` and
/// `defaultLanguage` whose package has one, re-encoded as JSON. 404 for every failure.
WebServerResponse serveContentManifest(const WebServerRequest& request, std::string_view language,
                                       const ContentManifestSource& content, std::string_view defaultLanguage);

/// `path` with every "/ll-CC/" folder and a final "/ll-CC" (two lower-case letters, "-", two
/// upper-case letters) naming `language` instead. A path without one comes back unchanged.
std::string rewriteLanguage(std::string_view path, std::string_view language);

}  // namespace kestrom

#pragma once
// The one gate every path from the page passes before it touches the disk: static files, content,
// temporary areas, subtitles, project routes, `localPath`, `tmpId`, languages. A path is checked
// segment by segment after decoding (no "..", ".", empty segment, NUL or absolute form), then
// resolved under its root with symbolic links followed, and must still lie under that root.
// Free functions, safe on any thread.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "KestromKit/base/Expected.h"

namespace kestrom {

enum class PathCheckError {
  badEncoding,     // a "%" not followed by two hex digits
  empty,           // nothing left to name a file
  absolute,        // begins with "/" where a relative path is wanted
  dotSegment,      // a "." or ".." segment
  emptySegment,    // "a//b", a trailing "/"
  nul,             // a NUL byte, raw or decoded
  outsideRoot,     // resolves (through links) outside its root or the handed-out folders
  notRegularFile,  // missing, or a folder, device, FIFO or socket where a file is required
};

std::string_view toString(PathCheckError error);

/// Decodes every "%XX" once. "+" stays "+". Fails on a truncated or non-hex escape.
[[nodiscard]] Expected<std::string, PathCheckError> percentDecode(std::string_view text);

struct PathCheckOptions {
  /// The text still carries URL escapes: decode it once before checking.
  bool percentEncoded = false;
  /// One leading "/" is taken as "from the root" (a URL path); without it, a leading "/" fails.
  bool allowLeadingSlash = true;
  /// The result must exist and be a regular file (after links are followed).
  bool regularFileOnly = false;
};

/// Checks `text` as a relative path and gives it back as one (no leading "/"). No disk access.
[[nodiscard]] Expected<std::filesystem::path, PathCheckError> checkRelativePath(std::string_view text,
                                                                                PathCheckOptions options = {});

/// Checks one path component (a file name, a `tmpId`, a language): not empty, no "/", not "." or
/// "..", no NUL. No decoding.
[[nodiscard]] Expected<std::string, PathCheckError> checkPathComponent(std::string_view name);

/// `root` joined with the checked `text`, links resolved; fails unless it lies under the real
/// `root`. The target need not exist unless `options.regularFileOnly` asks for a file.
[[nodiscard]] Expected<std::filesystem::path, PathCheckError> resolveUnder(const std::filesystem::path& root,
                                                                           std::string_view text,
                                                                           PathCheckOptions options = {});

/// An absolute path from the page (already decoded) that may be served only because it lies in a
/// folder the host itself hands out. Checks every segment, follows links, requires a regular file
/// under one of `folders`, and gives back the resolved path.
[[nodiscard]] Expected<std::filesystem::path, PathCheckError> checkHandedOutPath(
    std::string_view absolutePath, const std::vector<std::filesystem::path>& folders);

}  // namespace kestrom

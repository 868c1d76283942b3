#pragma once
// Bookmarks of folders and project files as the host keeps them: the base64 text (standard
// alphabet, no line breaks) of the absolute path. Linux has no sandbox, so there is no access to
// start or stop; a bookmark resolves only while its folder (or file) exists.

#include <filesystem>
#include <optional>
#include <string>

namespace kestrom::bookmarks {

std::string makeBookmark(const std::filesystem::path& folder);
/// The folder, when `bookmark` is base64 of an absolute path that exists now.
std::optional<std::filesystem::path> resolveBookmark(const std::string& bookmark);
/// The file, when `bookmark` is base64 of an absolute path of a regular file that exists now.
std::optional<std::filesystem::path> resolveFileBookmark(const std::string& bookmark);

}  // namespace kestrom::bookmarks

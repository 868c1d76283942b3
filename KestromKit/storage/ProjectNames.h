#pragma once
// Turning the names users give their projects into file names, and choosing a free one.
// Pure functions; any thread.
//
//   fileURLWithName("A:B", "/p/Old.kpr")            -> "/p/A B.kpr"
//   nextAvailableName({"Robot", "Robot 1"}, "/p/Robot.kpr") -> "/p/Robot 2.kpr"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrom::ProjectNames {

/// ":" and "/", control and format characters, line and paragraph separators, and the Unicode
/// non-characters: what never goes into a project's file name.
bool isInvalidFileNameCharacter(char32_t c);

/// `name` with each invalid character (and each byte that is not UTF-8) replaced by one space,
/// cut (at a character boundary) so that the name, a counter and an extension still fit in one
/// file-name component. The result never holds "/" or NUL and is never "." or "..".
std::string cleanName(std::string_view name);

/// A path in the folder of `url` whose base name is `cleanName(name)`, with the extension of
/// `url` (none when it has none).
std::filesystem::path fileURLWithName(std::string_view name, const std::filesystem::path& url);

/// The first of base, "stem N", "stem N+1"... (base = the cleaned base name of `url`; a base name
/// ending in a whole number counts on from it: "Robot 3" -> "Robot 4") that is not among `taken`
/// (exact comparison), as `fileURLWithName` of it. A number too large to count on from is taken
/// as part of the name.
std::filesystem::path nextAvailableName(const std::vector<std::string>& taken, const std::filesystem::path& url);

}  // namespace kestrom::ProjectNames

#pragma once
// The file work behind the save and open services, kept apart from the panels so it runs without
// a display: putting a saved file in the place the user chose and reading a chosen text file.
// Main thread (called from panel completions); no state.

#include <filesystem>
#include <string>

#include "KestromKit/base/Expected.h"
#include "KestromKit/server/WebServerFileDelegate.h"

namespace kestrom {

/// Moves `source` to `destination`, replacing a file there only once the new one is in place:
/// rename within one file system; across file systems copy beside the destination, rename the
/// copy over it, then remove the source. Any failure leaves the earlier destination untouched
/// and answers moveError.
Expected<void, SaveError> moveReplacing(const std::filesystem::path& source, const std::filesystem::path& destination);

/// The file's text; readError when it cannot be read or is not valid UTF-8.
Expected<std::string, LoadError> readUtf8Text(const std::filesystem::path& file);

/// The extension of `file` without its dot ("kpr"); empty when it has none.
std::string pathExtension(const std::filesystem::path& file);

}  // namespace kestrom

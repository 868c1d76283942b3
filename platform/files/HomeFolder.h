#pragma once
// The user's home folder, and paths written against it for the log ("~/Projects/a.kpr"). Any
// thread; the folder is looked up once, on first use, by whichever thread asks first.

#include <filesystem>
#include <string>

namespace kestrom::files {

/// $HOME, else the home folder of the current user's password entry. A user without either
/// cannot run the host: that is a fatal error.
const std::filesystem::path& homeFolder();

/// `path` with "." and ".." resolved and a leading home folder written as "~" ("~/Projects/a.kpr").
/// Only a whole leading folder counts: with the home folder /home/ab, /home/abc/x stays as it is,
/// and a later occurrence of the home path inside the path is left alone. Paths outside the home
/// folder, and relative paths, stay as they are.
std::string tildePath(const std::filesystem::path& path);
/// The same against an explicitly given home folder.
std::string tildePath(const std::filesystem::path& path, const std::filesystem::path& home);

}  // namespace kestrom::files

#pragma once
// The "Content-Type" the local HTTP server sends for a file, chosen from its name alone.

#include <string>
#include <string_view>

namespace kestrom {

/// The content type of a file name or path: the text after its last "." (the whole text when it
/// has none), lower-cased, looked up in a fixed table of 26 extensions; "text/plain" otherwise.
/// Scripts go out as "application/json" and project files as "application/zip" because that is
/// what the page has always been given. Pure; never fails.
std::string contentTypeForFileName(std::string_view fileName);

}  // namespace kestrom

#pragma once
// What a GtkDropTarget for GDK_TYPE_FILE_LIST delivers, as a path: the window and the web view
// take only the first of the dropped files.

#include <glib-object.h>

#include <filesystem>
#include <optional>

namespace kestrom::shell {

/// The local path of the first file in a dropped file list; none for anything else.
std::optional<std::filesystem::path> firstDroppedFile(const GValue* value);

}  // namespace kestrom::shell

#include "platform/shell/GtkFileDrop.h"

#include <gtk/gtk.h>

namespace kestrom::shell {

std::optional<std::filesystem::path> firstDroppedFile(const GValue* value) {
  if (!G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST)) return std::nullopt;
  GSList* files = gdk_file_list_get_files(static_cast<GdkFileList*>(g_value_get_boxed(value)));
  std::optional<std::filesystem::path> first;
  if (files && files->data) {
    if (gchar* path = g_file_get_path(G_FILE(files->data))) {
      first = path;
      g_free(path);
    }
  }
  g_slist_free(files);
  return first;
}

}  // namespace kestrom::shell

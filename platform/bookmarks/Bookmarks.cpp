#include "platform/bookmarks/Bookmarks.h"

#include <glib.h>

#include <memory>

namespace kestrom::bookmarks {

std::string makeBookmark(const std::filesystem::path& folder) {
  auto absolute = std::filesystem::absolute(folder).lexically_normal().string();
  std::unique_ptr<gchar, decltype(&g_free)> encoded(
      g_base64_encode(reinterpret_cast<const guchar*>(absolute.data()), absolute.size()), g_free);
  return encoded.get();
}

namespace {

std::optional<std::string> decodedPath(const std::string& bookmark) {
  if (bookmark.empty() || bookmark.size() % 4 != 0) return std::nullopt;
  for (char c : bookmark)
    if (!(g_ascii_isalnum(c) || c == '+' || c == '/' || c == '=')) return std::nullopt;
  gsize length = 0;
  std::unique_ptr<guchar, decltype(&g_free)> decoded(g_base64_decode(bookmark.c_str(), &length), g_free);
  std::string text(reinterpret_cast<const char*>(decoded.get()), length);
  if (text.empty() || text.front() != '/' || text.find('\0') != std::string::npos) return std::nullopt;
  return text;
}

}  // namespace

std::optional<std::filesystem::path> resolveBookmark(const std::string& bookmark) {
  auto text = decodedPath(bookmark);
  std::error_code error;
  if (!text || !std::filesystem::is_directory(*text, error)) return std::nullopt;
  return std::filesystem::path(*text);
}

std::optional<std::filesystem::path> resolveFileBookmark(const std::string& bookmark) {
  auto text = decodedPath(bookmark);
  std::error_code error;
  if (!text || !std::filesystem::is_regular_file(*text, error)) return std::nullopt;
  return std::filesystem::path(*text);
}

}  // namespace kestrom::bookmarks

#include "KestromKit/server/ContentTypes.h"

#include <array>
#include <utility>

#include "platform/AsciiCase.h"

namespace kestrom {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 26> kContentTypes{{
    {"svg", "image/svg+xml"},
    {"json", "application/json"},
    {"js", "application/json"},
    {"sb3", "application/zip"},
    {"mp4", "video/mp4"},
    {"vtt", "text/vtt"},
    {"webvtt", "text/vtt"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"png", "image/png"},
    {"woff2", "font/woff2"},
    {"mp3", "audio/mpeg"},
    {"css", "text/css"},
    {"otf", "font/otf"},
    {"py", "text/x-python"},
    {"sh", "text/x-shellscript"},
    {"bin", "application/octet-stream"},
    {"cur", "image/x-icon"},
    {"eot", "application/vnd.ms-fontobject"},
    {"gif", "image/gif"},
    {"map", "application/octet-stream"},
    {"mpy", "text/plain"},
    {"ogg", "audio/ogg"},
    {"raw", "application/octet-stream"},
    {"ttf", "application/x-font-ttf"},
    {"wav", "audio/wav"},
}};

/// The last non-empty piece between dots: "a.tar.gz" gives "gz", "README" itself, "..." nothing.
std::string_view lastDotPiece(std::string_view name) {
  while (!name.empty() && name.back() == '.') name.remove_suffix(1);
  auto dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

}  // namespace

std::string contentTypeForFileName(std::string_view fileName) {
  // Only ASCII letters can match the table, so ASCII lower-casing decides the same as a full one.
  const std::string extension = asciiLowercased(lastDotPiece(fileName));
  for (const auto& [ext, type] : kContentTypes)
    if (ext == extension) return std::string(type);
  return "text/plain";
}

}  // namespace kestrom

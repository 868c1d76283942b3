#pragma once
// What the manifest route of the local HTTP server needs of the content store: where the
// downloaded packages live and a package's manifest for one language. The content handler
// implements it; tests stand in a folder of their own.

#include <filesystem>
#include <optional>
#include <string>

#include "KestromKit/model/Manifest.h"

namespace kestrom {

class ContentManifestSource {
 public:
  virtual ~ContentManifestSource() = default;

  /// The folder of the downloaded content packages, one folder per language.
  virtual std::filesystem::path contentPath() const = 0;
  /// The manifest of the package of `language` (a checked path component), its units' offline
  /// flags recomputed; absent when it cannot be read or decoded. Called on an HTTP connection's
  /// thread, so it must be safe to call from any thread.
  virtual std::optional<Manifest> readManifest(const std::string& language) const = 0;
  /// That manifest encoded as the JSON text the page gets. By default `readManifest`, encoded on
  /// the caller's thread; a source may do both elsewhere, so that many requests at once hold only
  /// their texts.
  virtual std::optional<std::string> manifestJSON(const std::string& language) const {
    auto manifest = readManifest(language);
    if (!manifest) return std::nullopt;
    auto json = encodeText(*manifest);
    if (!json) return std::nullopt;
    return std::move(*json);
  }
};

}  // namespace kestrom

#pragma once
// Content packages in a plain folder, with no manifests: what the HTTP server's tests and its
// benchmark serve content from.

#include <filesystem>
#include <optional>
#include <string>

#include "KestromKit/server/ContentManifestSource.h"

namespace kestrom::test {

class FolderContent final : public ContentManifestSource {
 public:
  explicit FolderContent(std::filesystem::path folder) : folder_(std::move(folder)) {}
  std::filesystem::path contentPath() const override { return folder_; }
  std::optional<Manifest> readManifest(const std::string&) const override { return std::nullopt; }

 private:
  std::filesystem::path folder_;
};

}  // namespace kestrom::test

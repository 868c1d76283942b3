#include "app/FileServices.h"

namespace kestrom::app {

std::vector<std::string> exportedFileExtensions(const bundle::PropertyListValue& info) {
  std::vector<std::string> extensions;
  if (!info.is_object()) return extensions;
  auto declarations = info.find("UTExportedTypeDeclarations");
  if (declarations == info.end() || !declarations->is_array()) return extensions;
  for (const auto& declaration : *declarations) {
    if (!declaration.is_object()) continue;
    auto specification = declaration.find("UTTypeTagSpecification");
    if (specification == declaration.end() || !specification->is_object()) continue;
    auto tags = specification->find("public.filename-extension");
    if (tags == specification->end()) continue;
    if (tags->is_string()) {
      extensions.push_back(tags->get<std::string>());
    } else if (tags->is_array()) {
      for (const auto& tag : *tags) {
        if (tag.is_string()) extensions.push_back(tag.get<std::string>());
      }
    }
  }
  return extensions;
}

}  // namespace kestrom::app

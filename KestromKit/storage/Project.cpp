#include "KestromKit/storage/Project.h"

namespace kestrom {

std::optional<Project::Manifest> Project::Manifest::read(std::string_view bytes) {
  auto tree = parseJson(bytes);
  if (!tree || !tree->is_object()) return std::nullopt;
  auto id = tree->find("id");
  if (id == tree->end() || !id->is_string()) return std::nullopt;
  Manifest manifest;
  manifest.id = id->get<std::string>();
  tree->erase(id);
  auto name = tree->find("name");
  if (name == tree->end() || !name->is_string()) return std::nullopt;
  manifest.name = name->get<std::string>();
  tree->erase(name);
  manifest.rest = std::move(*tree);
  return manifest;
}

Expected<std::string, CodingError> Project::Manifest::jsonData() const {
  if (!rest.is_object()) return makeUnexpected(CodingError{CodingError::Kind::invalidValue, {}, "The manifest is not an object"});
  Json object = rest;
  object["id"] = id;
  object["name"] = name;
  return dumpJson(object);
}

}  // namespace kestrom

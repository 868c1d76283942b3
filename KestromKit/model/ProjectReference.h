#pragma once
// One entry of the project index "availableProjects.json".

#include <optional>
#include <string>
#include <tuple>

#include "KestromKit/model/Coding.h"

namespace kestrom {

struct ProjectReference {
  std::string id;
  std::string filePath;  // with the home folder written as "~"
  std::string name;
  std::optional<std::string> bookmark;

  friend bool operator==(const ProjectReference&, const ProjectReference&) = default;
  static constexpr auto codingFields() {
    using S = ProjectReference;
    return std::tuple{field("id", &S::id), field("filePath", &S::filePath), field("name", &S::name),
                      field("bookmark", &S::bookmark)};
  }
};

}  // namespace kestrom

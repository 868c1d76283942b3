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
  /// When the project was first saved. Kept here because every save replaces the file by a rename,
  /// which gives it a new birth time.
  std::optional<Date> created;

  friend bool operator==(const ProjectReference&, const ProjectReference&) = default;
  static constexpr auto codingFields() {
    using S = ProjectReference;
    return std::tuple{field("id", &S::id), field("filePath", &S::filePath), field("name", &S::name),
                      field("bookmark", &S::bookmark), field("created", &S::created)};
  }
};

}  // namespace kestrom

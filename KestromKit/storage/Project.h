#pragma once
// What the host knows about one project: its summary, and the "manifest.json" entry every project
// archive carries. The host reads only the manifest's "id" and "name"; every other key is kept as
// it was read and written back unchanged. Plain values; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "KestromKit/base/Expected.h"
#include "KestromKit/model/Coding.h"

namespace kestrom {

struct Project {
  std::string id;
  std::string name;
  std::uint64_t size = 0;
  Date created;
  Date lastsaved;

  friend bool operator==(const Project&, const Project&) = default;
  static constexpr auto codingFields() {
    using S = Project;
    return std::tuple{field("id", &S::id), field("name", &S::name), field("size", &S::size),
                      field("created", &S::created), field("lastsaved", &S::lastsaved)};
  }

  struct Manifest {
    std::string id;
    std::string name;
    Json rest = Json::object();  // every other top-level key, untouched

    /// The manifest in `bytes`: a JSON object with string "id" and "name". None otherwise.
    static std::optional<Manifest> read(std::string_view bytes);
    /// Compact JSON of `rest` with "id" and "name" set.
    Expected<std::string, CodingError> jsonData() const;
  };
};

}  // namespace kestrom

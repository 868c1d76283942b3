#pragma once
// The kit's optional property list in the bundle ("KestromKit.plist").

#include <filesystem>
#include <optional>
#include <string>
#include <tuple>

#include "KestromKit/model/Coding.h"

namespace kestrom {

/// The kit's optional property list: "localIP" (kept, unused) and "runHeadless".
struct LocalConfig {
  std::string localIP = "localhost";
  std::optional<bool> runHeadless;

  static constexpr auto codingFields() {
    using S = LocalConfig;
    return std::tuple{field("localIP", &S::localIP), field("runHeadless", &S::runHeadless)};
  }
  /// Reads the property list at `file`; the defaults (localhost, not headless) when it is
  /// missing or does not decode.
  static LocalConfig read(const std::filesystem::path& file);
};

}  // namespace kestrom

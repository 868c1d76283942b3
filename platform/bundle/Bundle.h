#pragma once
// The application bundle: one resources folder (bundle/ in the source tree, share/kestrom/bundle
// when installed, or the folder given with --bundle) holding Info.plist, the variant, the web root
// and the strings tables. Read-only after start-up; any thread may read it.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle/PropertyList.h"

namespace kestrom::bundle {

class Bundle {
 public:
  explicit Bundle(std::filesystem::path resourceURL);

  /// The process's bundle: the one set with setMain(), else $KESTROM_BUNDLE_DIR, else
  /// <program folder>/../share/kestrom/bundle.
  static const Bundle& main();
  /// Chooses the process's bundle; call before anything reads main().
  static void setMain(std::filesystem::path resourceURL);

  const std::filesystem::path& resourceURL() const { return resourceURL_; }

  /// `name` (which may hold folders, "variant/content/appconfig/appconfig") with `extension`
  /// appended after a dot when not empty; only when it is an existing regular file.
  std::optional<std::filesystem::path> url(std::string_view name, std::string_view extension) const;

  /// Info.plist as read at construction; an empty object when it is missing or malformed.
  const PropertyListValue& infoDictionary() const { return info_; }
  std::optional<std::string> infoString(std::string_view key) const;
  std::optional<bool> infoBool(std::string_view key) const;

 private:
  std::filesystem::path resourceURL_;
  PropertyListValue info_;
};

/// The bundle folder of an installed program: <folder of `program`>/../share/kestrom/bundle.
std::filesystem::path installedBundleLocation(const std::filesystem::path& program);

}  // namespace kestrom::bundle

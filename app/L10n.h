#pragma once
// The localised texts of the menu and the Bluetooth alert: the strings table "Localizable" of the
// bundle (<language>.lproj/Localizable.strings, an XML property list from key to text) in the
// first of the user's preferred languages the bundle has, else English. Built once at start-up on
// the main thread; read-only afterwards.

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle/Bundle.h"

namespace kestrom::app {

class L10n {
 public:
  /// The language the bundle was written in; used when no preferred language is there.
  static constexpr std::string_view kDevelopmentLanguage = "en";

  L10n() = default;
  /// The table of the first language in `preferredLanguages` ("de-DE", "de") that the bundle has.
  static L10n load(const bundle::Bundle& bundle, const std::vector<std::string>& preferredLanguages);

  /// The text for `key`, "%%" read as "%"; the key itself when the table has no text for it.
  std::string tr(std::string_view key) const;
  /// The language folder the texts came from ("de"), empty when no table was found.
  const std::string& language() const { return language_; }

 private:
  std::string language_;
  std::map<std::string, std::string, std::less<>> table_;
};

/// The user's preferred languages, best first, from $LANGUAGE, $LC_ALL, $LC_MESSAGES and $LANG:
/// "de_DE.UTF-8" gives "de-DE" then "de". "C" and "POSIX" name no language.
std::vector<std::string> preferredLanguagesFromEnvironment();

/// Each preferred language as the bundle may name its folder: "de-DE" tries "de-DE", "de_DE", "de".
std::vector<std::string> languageFolderCandidates(const std::vector<std::string>& preferredLanguages);

/// Every "{{name}}" in `text` replaced by `name`.
std::string replacingName(std::string text, std::string_view name);

}  // namespace kestrom::app

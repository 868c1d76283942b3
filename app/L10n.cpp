#include "app/L10n.h"

#include <algorithm>
#include <cstdlib>

namespace kestrom::app {

namespace {

// "%%" is the one escape a format text without arguments can carry.
std::string unescapingPercent(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
  }
  return out;
}

void addUnique(std::vector<std::string>& list, std::string value) {
  if (!value.empty() && std::find(list.begin(), list.end(), value) == list.end()) list.push_back(std::move(value));
}

// "de_DE.UTF-8@euro" -> "de-DE"; "" for C and POSIX.
std::string languageTag(std::string locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return {};
  std::replace(locale.begin(), locale.end(), '_', '-');
  return locale;
}

}  // namespace

L10n L10n::load(const bundle::Bundle& bundle, const std::vector<std::string>& preferredLanguages) {
  auto candidates = languageFolderCandidates(preferredLanguages);
  addUnique(candidates, std::string(kDevelopmentLanguage));
  L10n l10n;
  for (const auto& language : candidates) {
    auto path = bundle.url(language + ".lproj/Localizable", "strings");
    if (!path) continue;
    auto plist = bundle::readPropertyList(*path);
    if (!plist || !plist->is_object()) continue;
    l10n.language_ = language;
    for (const auto& [key, value] : plist->items()) {
      if (value.is_string()) l10n.table_.emplace(key, value.get<std::string>());
    }
    break;
  }
  return l10n;
}

std::string L10n::tr(std::string_view key) const {
  auto it = table_.find(key);
  if (it == table_.end()) return std::string(key);
  return unescapingPercent(it->second);
}

std::vector<std::string> preferredLanguagesFromEnvironment() {
  std::vector<std::string> languages;
  auto env = [](const char* name) -> std::string {
    const char* value = std::getenv(name);
    return value ? value : "";
  };
  // LANGUAGE is a list and wins, but only when a locale is set at all (gettext's rule).
  std::string locale = env("LC_ALL");
  if (locale.empty()) locale = env("LC_MESSAGES");
  if (locale.empty()) locale = env("LANG");
  if (!languageTag(locale).empty()) {
    std::string list = env("LANGUAGE");
    std::size_t start = 0;
    while (start <= list.size()) {
      auto end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      addUnique(languages, languageTag(list.substr(start, end - start)));
      start = end + 1;
    }
  }
  addUnique(languages, languageTag(locale));
  return languages;
}

std::vector<std::string> languageFolderCandidates(const std::vector<std::string>& preferredLanguages) {
  std::vector<std::string> candidates;
  for (const auto& language : preferredLanguages) {
    addUnique(candidates, language);
    std::string underscored = language;
    std::replace(underscored.begin(), underscored.end(), '-', '_');
    addUnique(candidates, underscored);
    addUnique(candidates, language.substr(0, language.find_first_of("-_")));
  }
  return candidates;
}

std::string replacingName(std::string text, std::string_view name) {
  static constexpr std::string_view kPlaceholder = "{{name}}";
  std::size_t at = 0;
  while ((at = text.find(kPlaceholder, at)) != std::string::npos) {
    text.replace(at, kPlaceholder.size(), name);
    at += name.size();
  }
  return text;
}

}  // namespace kestrom::app

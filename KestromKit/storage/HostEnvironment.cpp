#include "KestromKit/storage/HostEnvironment.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string_view>

#include "KestromKit/base/MachineModel.h"
#include "platform/AsciiCase.h"
#include "platform/bundle/Bundle.h"

namespace kestrom {

namespace {

/// "de_AT.UTF-8@euro" -> "de-AT"; "C", "POSIX" and empty -> none.
std::optional<std::string> languageTag(std::string locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return std::nullopt;
  std::replace(locale.begin(), locale.end(), '_', '-');
  return locale;
}

std::string primaryLanguage(const std::string& tag) { return asciiLowercased(tag.substr(0, tag.find('-'))); }

/// Reads KEY=VALUE lines of os-release(5): shell-style quoting, "#" comments.
std::map<std::string, std::string> readOsRelease(const std::filesystem::path& file) {
  std::map<std::string, std::string> fields;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    auto equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    std::string_view raw = std::string_view(line).substr(equals + 1);
    std::string value;
    if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
      const char quote = raw.front();
      for (std::size_t i = 1; i < raw.size() && raw[i] != quote; ++i) {
        if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) ++i;
        value += raw[i];
      }
    } else {
      value = std::string(raw);
    }
    fields[key] = value;
  }
  return fields;
}

std::string unameDescription() {
  utsname names{};
  if (::uname(&names) != 0) return "Linux";
  return std::string(names.sysname) + " " + names.release + " " + names.machine;
}

}  // namespace

HostEnvironment HostEnvironment::system() {
  HostEnvironment environment;
  environment.getenv = [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (!value || !*value) return std::nullopt;
    return std::string(value);
  };
  environment.kernelDescription = unameDescription;
  environment.deviceModel = [] { return machineModelName(); };
  environment.hostBuild = [] { return bundle::Bundle::main().infoString("CFBundleVersion"); };
  return environment;
}

std::string HostEnvironment::operatingSystemDescription() const {
  auto fields = readOsRelease(osReleaseFile);
  if (fields.empty()) fields = readOsRelease(osReleaseFallbackFile);
  std::string distribution;
  if (auto pretty = fields.find("PRETTY_NAME"); pretty != fields.end() && !pretty->second.empty()) {
    distribution = pretty->second;
  } else if (auto name = fields.find("NAME"); name != fields.end() && !name->second.empty()) {
    distribution = name->second;
    if (auto version = fields.find("VERSION"); version != fields.end() && !version->second.empty())
      distribution += " " + version->second;
  } else {
    distribution = "Linux";
  }
  const std::string kernel = kernelDescription ? kernelDescription() : std::string();
  return kernel.empty() ? distribution : distribution + ", " + kernel;
}

std::vector<std::string> HostEnvironment::preferredLanguages() const {
  auto lookup = [&](const char* name) { return getenv ? getenv(name) : std::nullopt; };
  std::optional<std::string> locale = lookup("LC_ALL");
  if (!locale) locale = lookup("LC_MESSAGES");
  if (!locale) locale = lookup("LANG");
  const std::optional<std::string> localeTag = locale ? languageTag(*locale) : std::nullopt;

  std::vector<std::string> languages;
  auto add = [&](const std::optional<std::string>& tag) {
    if (tag && std::find(languages.begin(), languages.end(), *tag) == languages.end()) languages.push_back(*tag);
  };
  const bool localeIsC = locale && !localeTag;
  if (auto list = lookup("LANGUAGE"); list && !localeIsC) {
    std::size_t start = 0;
    while (start <= list->size()) {
      auto end = std::min(list->find(':', start), list->size());
      add(languageTag(list->substr(start, end - start)));
      start = end + 1;
    }
  }
  add(localeTag);
  return languages;
}

std::optional<std::string> HostEnvironment::regionCode() const {
  auto lookup = [&](const char* name) { return getenv ? getenv(name) : std::nullopt; };
  std::optional<std::string> locale = lookup("LC_ALL");
  if (!locale) locale = lookup("LC_MESSAGES");
  if (!locale) locale = lookup("LANG");
  if (!locale) return std::nullopt;
  auto tag = languageTag(*locale);
  if (!tag) return std::nullopt;
  auto dash = tag->find('-');
  if (dash == std::string::npos) return std::nullopt;
  std::string region = tag->substr(dash + 1);
  const bool letters = region.size() == 2 && std::all_of(region.begin(), region.end(), [](unsigned char c) {
                         return std::isalpha(c);
                       });
  const bool digits = region.size() == 3 && std::all_of(region.begin(), region.end(), [](unsigned char c) {
                        return std::isdigit(c);
                      });
  if (!letters && !digits) return std::nullopt;
  return asciiUppercased(region);
}

std::optional<std::string> preferredLocalization(const std::vector<std::string>& available,
                                                 const std::vector<std::string>& preferences) {
  auto normalised = [](std::string tag) {
    std::replace(tag.begin(), tag.end(), '_', '-');
    return asciiLowercased(std::move(tag));
  };
  for (const auto& preference : preferences) {
    const std::string wanted = normalised(preference);
    for (const auto& candidate : available)
      if (normalised(candidate) == wanted) return candidate;
    const std::string language = primaryLanguage(wanted);
    for (const auto& candidate : available)
      if (normalised(candidate) == language) return candidate;
    for (const auto& candidate : available)
      if (primaryLanguage(normalised(candidate)) == language) return candidate;
  }
  return std::nullopt;
}

}  // namespace kestrom

#pragma once
// What the configuration reply reads from the machine and the user's session: the operating
// system, the user's languages and region, the model name and the host build. Each source is a
// field with the real one as default, so tests aim them at temporary files and fixed values.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrom {

struct HostEnvironment {
  using Lookup = std::function<std::optional<std::string>(const std::string& name)>;

  /// Environment variables (LANGUAGE, LC_ALL, LC_MESSAGES, LANG); unset and empty read as none.
  Lookup getenv;
  /// The distribution's description (os-release(5)), the second read when the first is missing.
  std::filesystem::path osReleaseFile = "/etc/os-release";
  std::filesystem::path osReleaseFallbackFile = "/usr/lib/os-release";
  /// Kernel name, release and machine, "Linux 6.1.0-18-amd64 x86_64".
  std::function<std::string()> kernelDescription;
  /// The machine's model name.
  std::function<std::string()> deviceModel;
  /// The application's build number, when the bundle has one.
  std::function<std::optional<std::string>()> hostBuild;

  /// Every source reads the real system; `deviceModel` reads the firmware's product name.
  static HostEnvironment system();

  /// "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64 x86_64": the distribution's pretty
  /// name (else name and version, else "Linux"), then the kernel.
  std::string operatingSystemDescription() const;
  /// The user's languages, most preferred first, as tags ("de-AT", "de"): the entries of LANGUAGE,
  /// then the locale of LC_ALL, else LC_MESSAGES, else LANG; without codeset or modifier; the "C"
  /// and "POSIX" locales name no language (and switch LANGUAGE off, as gettext does).
  std::vector<std::string> preferredLanguages() const;
  /// The region of the user's locale ("AT" of "de_AT.UTF-8"), or none.
  std::optional<std::string> regionCode() const;
};

/// The first of `available` that the user prefers: for each preference in order, an available
/// tag equal to it (letter case and "_" / "-" ignored), else one of the same language, the bare
/// language tag first ("de-AT" takes "de", else the first "de-…"). None when nothing matches.
std::optional<std::string> preferredLocalization(const std::vector<std::string>& available,
                                                 const std::vector<std::string>& preferences);

}  // namespace kestrom

#pragma once
// The records of the application configuration file and of what the host derives from it: the
// part read at start-up (PartialIAppConfig), the whole file (IAppConfig), the page's boot query
// (IAppConfiguration) and the content's "versions.json" (IAppVersion).
//
// The host decodes only PartialIAppConfig and IAppVersion at run time; the others complete the
// schema so that any of them can be read or written with the same keys.

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "KestromKit/model/Coding.h"

namespace kestrom {

// ---- records shared by the start-up record and the whole file ------------------------------------

struct MacosFileAssociation {
  std::string ext;  // extension of project files, without the dot

  friend bool operator==(const MacosFileAssociation&, const MacosFileAssociation&) = default;
  static constexpr auto codingFields() {
    using S = MacosFileAssociation;
    return std::tuple{field("ext", &S::ext)};
  }
};

struct IAppConfigMacos {
  MacosFileAssociation fileAssociation;
  std::string userDataFolderPrefix;  // put before the names of the data files

  friend bool operator==(const IAppConfigMacos&, const IAppConfigMacos&) = default;
  static constexpr auto codingFields() {
    using S = IAppConfigMacos;
    return std::tuple{field("fileAssociation", &S::fileAssociation),
                      field("userDataFolderPrefix", &S::userDataFolderPrefix)};
  }
};

struct IosFileAssociation {
  std::string ext;

  friend bool operator==(const IosFileAssociation&, const IosFileAssociation&) = default;
  static constexpr auto codingFields() {
    using S = IosFileAssociation;
    return std::tuple{field("ext", &S::ext)};
  }
};

/// Required on this host too: the configuration file is shared by every build of the application.
struct IAppConfigIos {
  IosFileAssociation fileAssociation;
  std::optional<std::string> interfaceStyle;
  std::optional<bool> respectSafeArea;  // the web view honours safe areas when absent
  std::optional<bool> statusBarHidden;
  std::optional<std::string> statusBarStyle;

  friend bool operator==(const IAppConfigIos&, const IAppConfigIos&) = default;
  static constexpr auto codingFields() {
    using S = IAppConfigIos;
    return std::tuple{field("fileAssociation", &S::fileAssociation), field("interfaceStyle", &S::interfaceStyle),
                      field("respectSafeArea", &S::respectSafeArea), field("statusBarHidden", &S::statusBarHidden),
                      field("statusBarStyle", &S::statusBarStyle)};
  }
};

/// Crash-reporting data source names, one record per platform: a present entry must carry "dsn".
struct Android {
  std::string dsn;

  friend bool operator==(const Android&, const Android&) = default;
  static constexpr auto codingFields() { return std::tuple{field("dsn", &Android::dsn)}; }
};

struct SentryIos {
  std::string dsn;

  friend bool operator==(const SentryIos&, const SentryIos&) = default;
  static constexpr auto codingFields() { return std::tuple{field("dsn", &SentryIos::dsn)}; }
};

struct SentryMacos {
  std::string dsn;

  friend bool operator==(const SentryMacos&, const SentryMacos&) = default;
  static constexpr auto codingFields() { return std::tuple{field("dsn", &SentryMacos::dsn)}; }
};

struct SentryWindows {
  std::string dsn;

  friend bool operator==(const SentryWindows&, const SentryWindows&) = default;
  static constexpr auto codingFields() { return std::tuple{field("dsn", &SentryWindows::dsn)}; }
};

struct Sentry {
  std::optional<Android> android;
  std::optional<SentryIos> ios;
  std::optional<SentryMacos> macos;  // the entry this desktop host starts crash reporting with
  std::optional<SentryWindows> windows;

  friend bool operator==(const Sentry&, const Sentry&) = default;
  static constexpr auto codingFields() {
    using S = Sentry;
    return std::tuple{field("android", &S::android), field("ios", &S::ios), field("macos", &S::macos),
                      field("windows", &S::windows)};
  }
};

// ---- the start-up record ---------------------------------------------------------------------------

/// The part of the application configuration the host reads at start-up; every other key of the
/// file is skipped. Immutable once decoded; services get copies.
struct PartialIAppConfig {
  std::string version;  // reported to the page with its non-numeric ends trimmed
  std::string appId;
  std::string defaultLanguage;
  std::string fullVersion;
  std::vector<std::string> availableLanguages;
  IAppConfigMacos macos;
  IAppConfigIos ios;
  std::optional<Sentry> sentry;
  std::string userDataFolder;  // the data folder's name under the application-support folder
  std::string projectFolder;   // the project folder's name
  std::string cutoutAreaBackground;  // hex colour of the web view's background

  friend bool operator==(const PartialIAppConfig&, const PartialIAppConfig&) = default;
  static constexpr auto codingFields() {
    using S = PartialIAppConfig;
    return std::tuple{field("version", &S::version),
                      field("appId", &S::appId),
                      field("defaultLanguage", &S::defaultLanguage),
                      field("fullVersion", &S::fullVersion),
                      field("availableLanguages", &S::availableLanguages),
                      field("macos", &S::macos),
                      field("ios", &S::ios),
                      field("sentry", &S::sentry),
                      field("userDataFolder", &S::userDataFolder),
                      field("projectFolder", &S::projectFolder),
                      field("cutoutAreaBackground", &S::cutoutAreaBackground)};
  }
};

// ---- the page's boot query ---------------------------------------------------------------------------

/// The crash-reporting switch as the boot query writes it.
enum class SentryEnabled { the0, the1 };

template <>
struct EnumTable<SentryEnabled> {
  static constexpr std::array<std::pair<SentryEnabled, std::string_view>, 2> values{{
      {SentryEnabled::the0, "0"},
      {SentryEnabled::the1, "1"},
  }};
};

/// The run-time configuration handed to the page as the query of its boot URL.
struct IAppConfiguration {
  std::string appID;
  std::string debugURL;
  std::string defaultLanguage;
  std::optional<std::string> fullVersion;
  SentryEnabled sentryEnabled = SentryEnabled::the0;
  std::string webURL;
  std::string wsURL;

  friend bool operator==(const IAppConfiguration&, const IAppConfiguration&) = default;
  static constexpr auto codingFields() {
    using S = IAppConfiguration;
    return std::tuple{field("appId", &S::appID),
                      field("debugUrl", &S::debugURL),
                      field("defaultLanguage", &S::defaultLanguage),
                      field("fullVersion", &S::fullVersion),
                      field("sentryEnabled", &S::sentryEnabled),
                      field("webUrl", &S::webURL),
                      field("wsUrl", &S::wsURL)};
  }
};

// ---- the whole configuration file ------------------------------------------------------------------

/// The shape of the content store's access data; the host carries no values for it.
struct Aws {
  std::string accessKeyID;
  std::string bucket;
  std::string secretAccessKey;

  friend bool operator==(const Aws&, const Aws&) = default;
  static constexpr auto codingFields() {
    using S = Aws;
    return std::tuple{field("accessKeyId", &S::accessKeyID), field("bucket", &S::bucket),
                      field("secretAccessKey", &S::secretAccessKey)};
  }
};

struct URLClass {
  std::string cn;
  std::string global;

  friend bool operator==(const URLClass&, const URLClass&) = default;
  static constexpr auto codingFields() {
    using S = URLClass;
    return std::tuple{field("cn", &S::cn), field("global", &S::global)};
  }
};

struct Variant {
  bool hasDocuments = false;
  std::vector<std::string> unitIDS;

  friend bool operator==(const Variant&, const Variant&) = default;
  static constexpr auto codingFields() {
    using S = Variant;
    return std::tuple{field("hasDocuments", &S::hasDocuments), field("unitIds", &S::unitIDS)};
  }
};

struct Contentstack {
  Aws aws;
  URLClass url;
  std::map<std::string, Variant> variants;

  friend bool operator==(const Contentstack&, const Contentstack&) = default;
  static constexpr auto codingFields() {
    using S = Contentstack;
    return std::tuple{field("aws", &S::aws), field("url", &S::url), field("variants", &S::variants)};
  }
};

struct FileAssociationElement {
  std::string fileAssociationDescription;  // "description" on the wire
  std::string ext;
  std::string name;
  std::string role;

  friend bool operator==(const FileAssociationElement&, const FileAssociationElement&) = default;
  static constexpr auto codingFields() {
    using S = FileAssociationElement;
    return std::tuple{field("description", &S::fileAssociationDescription), field("ext", &S::ext),
                      field("name", &S::name), field("role", &S::role)};
  }
};

struct IAppConfigWindows {
  std::optional<std::string> contentBaseFolder;

  friend bool operator==(const IAppConfigWindows&, const IAppConfigWindows&) = default;
  static constexpr auto codingFields() {
    return std::tuple{field("contentBaseFolder", &IAppConfigWindows::contentBaseFolder)};
  }
};

struct Web {
  double port = 0;

  friend bool operator==(const Web&, const Web&) = default;
  static constexpr auto codingFields() { return std::tuple{field("port", &Web::port)}; }
};

struct Ws {
  double port = 0;

  friend bool operator==(const Ws&, const Ws&) = default;
  static constexpr auto codingFields() { return std::tuple{field("port", &Ws::port)}; }
};

/// The whole application configuration file. A text that decodes as this also decodes as
/// PartialIAppConfig: its keys are a subset with the same types and presence.
struct IAppConfig {
  std::string appID;
  std::string appWindowBackground;
  std::vector<std::string> availableLanguages;
  std::string contentFolder;
  Contentstack contentstack;
  std::string cutoutAreaBackground;
  std::string defaultLanguage;
  std::vector<FileAssociationElement> fileAssociations;
  std::string fullVersion;
  IAppConfigIos ios;
  IAppConfigMacos macos;
  std::string name;
  std::string platform;
  std::string projectFolder;
  std::vector<std::string> rtlLanguages;
  std::optional<Sentry> sentry;
  std::string shortName;
  std::string userDataFolder;
  std::string version;
  Web web;
  IAppConfigWindows windows;
  Ws ws;

  friend bool operator==(const IAppConfig&, const IAppConfig&) = default;
  static constexpr auto codingFields() {
    using S = IAppConfig;
    return std::tuple{field("appId", &S::appID),
                      field("appWindowBackground", &S::appWindowBackground),
                      field("availableLanguages", &S::availableLanguages),
                      field("contentFolder", &S::contentFolder),
                      field("contentstack", &S::contentstack),
                      field("cutoutAreaBackground", &S::cutoutAreaBackground),
                      field("defaultLanguage", &S::defaultLanguage),
                      field("fileAssociations", &S::fileAssociations),
                      field("fullVersion", &S::fullVersion),
                      field("ios", &S::ios),
                      field("macos", &S::macos),
                      field("name", &S::name),
                      field("platform", &S::platform),
                      field("projectFolder", &S::projectFolder),
                      field("rtlLanguages", &S::rtlLanguages),
                      field("sentry", &S::sentry),
                      field("shortName", &S::shortName),
                      field("userDataFolder", &S::userDataFolder),
                      field("version", &S::version),
                      field("web", &S::web),
                      field("windows", &S::windows),
                      field("ws", &S::ws)};
  }
};

// ---- the content's version file -------------------------------------------------------------------

/// "versions.json" of an installed or prepacked content folder; equal records mean the installed
/// content is current.
struct IAppVersion {
  std::string clientrpc;
  std::map<std::string, std::string> contentStackVersion;
  std::string webbase;
  std::string webVersion;

  friend bool operator==(const IAppVersion&, const IAppVersion&) = default;
  static constexpr auto codingFields() {
    using S = IAppVersion;
    return std::tuple{field("clientrpc", &S::clientrpc), field("contentStackVersion", &S::contentStackVersion),
                      field("webbase", &S::webbase), field("webVersion", &S::webVersion)};
  }
};

}  // namespace kestrom

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KestromKit/model/Coding.h"
#include "KestromKit/model/ConfigRecords.h"

namespace kestrom {
namespace {

// Member order is not part of a record's meaning: compare as unordered JSON.
nlohmann::json unordered(const Json& j) { return nlohmann::json::parse(j.dump()); }

// The eleven keys the host reads at start-up, nothing more.
Json startupConfig() {
  return Json::parse(R"({
    "version": "3.4.0-beta",
    "appId": "org.example.app",
    "defaultLanguage": "en-US",
    "fullVersion": "3.4.0 [1234]",
    "availableLanguages": ["en-US", "de-DE"],
    "macos": {"fileAssociation": {"ext": "kpr"}, "userDataFolderPrefix": "app_"},
    "ios": {"fileAssociation": {"ext": "kpr"}, "respectSafeArea": false},
    "sentry": {"macos": {"dsn": "https://key@example.invalid/1"}},
    "userDataFolder": "Example App",
    "projectFolder": "Example Projects",
    "cutoutAreaBackground": "#ffffff"
  })");
}

// The whole configuration file: the eleven keys above plus the rest of the schema.
Json wholeConfig() {
  Json j = startupConfig();
  j.erase("appId");
  Json whole = Json::parse(R"({
    "appId": "org.example.app",
    "appWindowBackground": "#000000",
    "contentFolder": "content",
    "contentstack": {
      "aws": {"accessKeyId": "AK", "bucket": "b", "secretAccessKey": "s"},
      "url": {"cn": "https://cn.example.invalid", "global": "https://example.invalid"},
      "variants": {"retail": {"hasDocuments": true, "unitIds": ["u1", "u2"]}}
    },
    "fileAssociations": [{"description": "Project", "ext": "kpr", "name": "Project file", "role": "Editor"}],
    "name": "Example",
    "platform": "macos",
    "rtlLanguages": ["ar"],
    "shortName": "Ex",
    "web": {"port": 8080},
    "windows": {"contentBaseFolder": "C:/content"},
    "ws": {"port": 9090}
  })");
  for (auto& [key, value] : j.items()) whole[key] = value;
  return whole;
}

Json appConfiguration() {
  return Json::parse(R"({"appId": "org.example.app", "debugUrl": "http://localhost:1/debug",
    "defaultLanguage": "en-US", "fullVersion": "3.4.0 [1234]", "sentryEnabled": "1",
    "webUrl": "http://localhost:1/", "wsUrl": "ws://localhost:2"})");
}

TEST(PartialIAppConfigTest, DecodesTheElevenKeysAndIgnoresEveryOtherKey) {
  auto exact = decode<PartialIAppConfig>(startupConfig());
  ASSERT_TRUE(exact) << exact.error().description();
  EXPECT_EQ(exact->version, "3.4.0-beta");
  EXPECT_EQ(exact->appId, "org.example.app");
  EXPECT_EQ(exact->availableLanguages, (std::vector<std::string>{"en-US", "de-DE"}));
  EXPECT_EQ(exact->macos.fileAssociation.ext, "kpr");
  EXPECT_EQ(exact->macos.userDataFolderPrefix, "app_");
  EXPECT_EQ(exact->ios.respectSafeArea, false);
  EXPECT_FALSE(exact->ios.interfaceStyle.has_value());
  ASSERT_TRUE(exact->sentry && exact->sentry->macos);
  EXPECT_EQ(exact->sentry->macos->dsn, "https://key@example.invalid/1");
  EXPECT_FALSE(exact->sentry->android.has_value());

  Json extra = startupConfig();
  extra["somethingElse"] = Json::parse(R"({"deep": [1, 2, {"x": null}]})");
  extra["macos"]["unknown"] = true;
  extra["ios"]["fileAssociation"]["more"] = "yes";
  extra["sentry"]["macos"]["environment"] = "prod";
  auto tolerant = decode<PartialIAppConfig>(extra);
  ASSERT_TRUE(tolerant) << tolerant.error().description();
  EXPECT_EQ(*tolerant, *exact);

  auto fromWholeFile = decode<PartialIAppConfig>(wholeConfig());
  ASSERT_TRUE(fromWholeFile) << fromWholeFile.error().description();
  EXPECT_EQ(*fromWholeFile, *exact);
}

TEST(PartialIAppConfigTest, SentryIsOptionalButAPresentPlatformNeedsItsDsn) {
  struct Case {
    const char* name;
    Json sentry;  // discarded: remove the key
    bool decodes;
    bool hasSentry;
  };
  const std::vector<Case> cases = {
      {"absent", Json(Json::value_t::discarded), true, false},
      {"null", nullptr, true, false},
      {"empty object", Json::object(), true, true},
      {"platform null", Json::parse(R"({"macos": null, "ios": null})"), true, true},
      {"macos without dsn", Json::parse(R"({"macos": {}})"), false, false},
      {"android without dsn", Json::parse(R"({"android": {"url": "x"}})"), false, false},
      {"dsn of wrong type", Json::parse(R"({"windows": {"dsn": 1}})"), false, false},
      {"not an object", "sentry", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json j = startupConfig();
    if (c.sentry.is_discarded()) j.erase("sentry");
    else j["sentry"] = c.sentry;
    auto decoded = decode<PartialIAppConfig>(j);
    ASSERT_EQ(decoded.has_value(), c.decodes);
    if (!c.decodes) continue;
    EXPECT_EQ(decoded->sentry.has_value(), c.hasSentry);
    if (c.hasSentry) {
      EXPECT_FALSE(decoded->sentry->android || decoded->sentry->ios || decoded->sentry->macos ||
                   decoded->sentry->windows);
    }
    auto encoded = encode(*decoded);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->contains("sentry"), c.hasSentry);
    if (c.hasSentry) {
      EXPECT_EQ((*encoded)["sentry"], Json::object());  // empty platforms are left out
    }
  }
}

TEST(PartialIAppConfigTest, EveryRequiredKeyIsNeededAndKeysAreCaseSensitive) {
  const std::vector<std::string> required = {"version",        "appId",         "defaultLanguage",
                                             "fullVersion",    "availableLanguages", "macos",
                                             "ios",            "userDataFolder", "projectFolder",
                                             "cutoutAreaBackground"};
  for (const auto& key : required) {
    SCOPED_TRACE(key);
    Json missing = startupConfig();
    missing.erase(key);
    auto decoded = decode<PartialIAppConfig>(missing);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().kind, CodingError::Kind::keyNotFound);

    Json null = startupConfig();
    null[key] = nullptr;
    EXPECT_FALSE(decode<PartialIAppConfig>(null));
  }

  Json capital = startupConfig();
  capital["appID"] = capital["appId"];
  capital.erase("appId");
  auto decoded = decode<PartialIAppConfig>(capital);
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().kind, CodingError::Kind::keyNotFound);
  EXPECT_NE(decoded.error().message.find("appId"), std::string::npos);

  Json number = startupConfig();
  number["version"] = 3;
  EXPECT_EQ(decode<PartialIAppConfig>(number).error().kind, CodingError::Kind::typeMismatch);

  Json noFileAssociation = startupConfig();
  noFileAssociation["ios"] = Json::object();
  auto ios = decode<PartialIAppConfig>(noFileAssociation);
  ASSERT_FALSE(ios);
  EXPECT_EQ(ios.error().path, "ios");
}

TEST(PartialIAppConfigTest, EmptyLanguageListDecodesAndTheValueEncodesBackToAnEquivalentText) {
  Json j = startupConfig();
  j["availableLanguages"] = Json::array();
  auto decoded = decode<PartialIAppConfig>(j);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->availableLanguages.empty());

  auto original = decode<PartialIAppConfig>(startupConfig());
  ASSERT_TRUE(original);
  auto text = encodeText(*original);
  ASSERT_TRUE(text);
  EXPECT_EQ(unordered(Json::parse(*text)), unordered(startupConfig()));
  auto again = decodeText<PartialIAppConfig>(*text);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *original);

  // Keys come out in declaration order.
  std::vector<std::string> keys;
  const Json written = *encode(*original);
  for (const auto& [key, value] : written.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"version", "appId", "defaultLanguage", "fullVersion",
                                            "availableLanguages", "macos", "ios", "sentry", "userDataFolder",
                                            "projectFolder", "cutoutAreaBackground"}));
}

TEST(IAppConfigTest, WholeFileRoundTripsWithMappedKeys) {
  auto decoded = decode<IAppConfig>(wholeConfig());
  ASSERT_TRUE(decoded) << decoded.error().description();
  EXPECT_EQ(decoded->appID, "org.example.app");
  EXPECT_EQ(decoded->contentstack.aws.accessKeyID, "AK");
  EXPECT_EQ(decoded->contentstack.variants.at("retail").unitIDS, (std::vector<std::string>{"u1", "u2"}));
  ASSERT_EQ(decoded->fileAssociations.size(), 1u);
  EXPECT_EQ(decoded->fileAssociations[0].fileAssociationDescription, "Project");
  EXPECT_EQ(decoded->web.port, 8080);
  EXPECT_EQ(decoded->windows.contentBaseFolder, "C:/content");

  auto encoded = encode(*decoded);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(unordered(*encoded), unordered(wholeConfig()));
  EXPECT_EQ(encoded->at("fileAssociations")[0].count("description"), 1u);
  EXPECT_EQ(encoded->at("fileAssociations")[0].count("fileAssociationDescription"), 0u);
  EXPECT_EQ(encoded->at("contentstack")["variants"]["retail"].count("unitIds"), 1u);
  EXPECT_EQ(encoded->at("contentstack")["aws"].count("accessKeyId"), 1u);
  EXPECT_EQ(encoded->size(), 22u);
}

TEST(IAppConfigTest, OptionalAndRequiredPartsOfTheWholeFile) {
  struct Case {
    const char* name;
    const char* pointer;
    Json value;  // discarded: remove the key
    bool decodes;
  };
  const Json removed(Json::value_t::discarded);
  const std::vector<Case> cases = {
      {"no sentry", "/sentry", removed, true},
      {"sentry null", "/sentry", nullptr, true},
      {"no windows", "/windows", removed, false},
      {"windows empty", "/windows", Json::object(), true},
      {"no fullVersion", "/fullVersion", removed, false},
      {"port as text", "/web/port", "8080", false},
      {"no variants", "/contentstack/variants", removed, false},
      {"empty variants", "/contentstack/variants", Json::object(), true},
      {"description under its field name", "/fileAssociations/0",
       Json::parse(R"({"fileAssociationDescription": "P", "ext": "e", "name": "n", "role": "r"})"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json j = wholeConfig();
    Json::json_pointer pointer(c.pointer);
    if (c.value.is_discarded()) j[pointer.parent_pointer()].erase(pointer.back());
    else j[pointer] = c.value;
    auto decoded = decode<IAppConfig>(j);
    EXPECT_EQ(decoded.has_value(), c.decodes) << (decoded ? "" : decoded.error().description());
    if (decoded && std::string(c.name) == "empty variants") {
      EXPECT_TRUE(decoded->contentstack.variants.empty());
    }
    if (decoded && std::string(c.name) == "windows empty") {
      EXPECT_FALSE(decoded->windows.contentBaseFolder.has_value());
      EXPECT_EQ(encode(*decoded)->at("windows"), Json::object());
    }
  }
}

TEST(IAppConfigurationTest, BootQueryRecordUsesItsWireKeys) {
  auto decoded = decode<IAppConfiguration>(appConfiguration());
  ASSERT_TRUE(decoded) << decoded.error().description();
  EXPECT_EQ(decoded->sentryEnabled, SentryEnabled::the1);
  EXPECT_EQ(decoded->wsURL, "ws://localhost:2");
  EXPECT_EQ(unordered(*encode(*decoded)), unordered(appConfiguration()));

  Json noFullVersion = appConfiguration();
  noFullVersion.erase("fullVersion");
  auto withoutFull = decode<IAppConfiguration>(noFullVersion);
  ASSERT_TRUE(withoutFull);
  EXPECT_FALSE(withoutFull->fullVersion.has_value());
  EXPECT_FALSE(encode(*withoutFull)->contains("fullVersion"));

  Json fieldNames = appConfiguration();
  fieldNames["appID"] = fieldNames["appId"];
  fieldNames.erase("appId");
  EXPECT_EQ(decode<IAppConfiguration>(fieldNames).error().kind, CodingError::Kind::keyNotFound);
  Json webField = appConfiguration();
  webField["webURL"] = webField["webUrl"];
  webField.erase("webUrl");
  EXPECT_FALSE(decode<IAppConfiguration>(webField));
}

TEST(IAppConfigurationTest, SentryEnabledTakesOnlyTheTwoTexts) {
  struct Case {
    Json value;
    bool decodes;
  };
  const std::vector<Case> cases = {{"0", true}, {"1", true}, {1, false}, {true, false}, {"2", false},
                                   {"", false}, {" 1", false}, {nullptr, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.dump());
    Json j = appConfiguration();
    j["sentryEnabled"] = c.value;
    auto decoded = decode<IAppConfiguration>(j);
    ASSERT_EQ(decoded.has_value(), c.decodes);
    if (decoded) {
      EXPECT_EQ(encode(*decoded)->at("sentryEnabled"), c.value);
    }
  }
  EXPECT_EQ(enumFromRaw<SentryEnabled>("0"), SentryEnabled::the0);
  EXPECT_FALSE(enumFromRaw<SentryEnabled>("true").has_value());
}

TEST(IAppVersionTest, VersionFileRoundTrips) {
  const Json j = Json::parse(R"({"clientrpc": "1.2", "contentStackVersion": {"en-US": "7", "de-DE": "3"},
    "webbase": "2.0", "webVersion": "2.0.1", "extra": 1})");
  auto decoded = decode<IAppVersion>(j);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->contentStackVersion.at("de-DE"), "3");
  Json expected = j;
  expected.erase("extra");
  EXPECT_EQ(unordered(Json::parse(*encodeText(*decoded))), unordered(expected));

  Json empty = j;
  empty["contentStackVersion"] = Json::object();
  auto emptyMap = decode<IAppVersion>(empty);
  ASSERT_TRUE(emptyMap);
  EXPECT_TRUE(emptyMap->contentStackVersion.empty());

  for (const char* key : {"clientrpc", "contentStackVersion", "webbase", "webVersion"}) {
    SCOPED_TRACE(key);
    Json missing = j;
    missing.erase(key);
    EXPECT_FALSE(decode<IAppVersion>(missing));
  }
  Json numberVersion = j;
  numberVersion["contentStackVersion"]["en-US"] = 7;
  auto wrong = decode<IAppVersion>(numberVersion);
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().path, "contentStackVersion.en-US");
}

}  // namespace
}  // namespace kestrom

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/model/Coding.h"
#include "KestromKit/storage/ConfigurationHandler.h"
#include "KestromKit/storage/ConfigurationService.h"
#include "KestromKit/base/Constants.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/log/FakeLogSink.h"
#include "platform/log/Log.h"
#include "tests/rpc/LoopBack.h"
#include "tests/support/TempFolder.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;

nlohmann::json unordered(const Json& j) { return nlohmann::json::parse(j.dump()); }

PartialIAppConfig appConfig(std::vector<std::string> languages = {"en-US", "de-DE", "fr-FR"}) {
  PartialIAppConfig config;
  config.version = "3.4.0-beta";
  config.appId = "org.example.app";
  config.defaultLanguage = "en-US";
  config.fullVersion = "3.4.0 (77)";
  config.availableLanguages = std::move(languages);
  config.macos.fileAssociation.ext = "kpr";
  config.macos.userDataFolderPrefix = "app_";
  config.ios.fileAssociation.ext = "kpr";
  config.userDataFolder = "Example";
  config.projectFolder = "Example Projects";
  config.cutoutAreaBackground = "#fff";
  return config;
}

class ConfigurationHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.empty());
    std::ofstream(folder_ / "os-release") << "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n";
    dispatch::installMainQueue(main_);
    onMain_ = std::make_unique<dispatch::ManualQueue::Presence>(*main_);  // the test plays the main thread
  }
  void TearDown() override {
    onMain_.reset();
    dispatch::installMainQueue(nullptr);
  }

  HostEnvironment environment(std::map<std::string, std::string> variables = {}) {
    HostEnvironment env;
    env.getenv = [variables = std::move(variables)](const std::string& name) -> std::optional<std::string> {
      auto found = variables.find(name);
      return found == variables.end() ? std::nullopt : std::optional(found->second);
    };
    env.osReleaseFile = folder_ / "os-release";
    env.osReleaseFallbackFile = folder_ / "none";
    env.kernelDescription = [] { return "Linux 6.1.0 x86_64"; };
    env.deviceModel = [] { return "ThinkPad X1 Carbon"; };
    env.hostBuild = [] { return std::optional<std::string>("77"); };
    return env;
  }

  std::shared_ptr<SettingValueStore> store(const char* content = nullptr) {
    const auto file = folder_ / "app_userSettings.json";
    fs::remove(file);
    if (content) std::ofstream(file) << content;
    return std::make_shared<SettingValueStore>(file);
  }

  ConfigurationHandler handler(std::shared_ptr<SettingValueStore> settings, HostEnvironment env,
                               std::vector<std::string> languages = {"en-US", "de-DE", "fr-FR"}) {
    auto projects = Constants::path().macOS.home / "Documents" / "Example Projects";
    return ConfigurationHandler(
        appConfig(std::move(languages)), std::move(settings),
        [projects] { return ProjectFolderState{projects, ProjectFolderStatus::needsMigration}; }, PlatformType::macos,
        std::move(env));
  }

  log::ScopedRecording recording_;
  test::TempFolder temp_{"kestrom-confighandler"};
  const fs::path& folder_ = temp_.path();
  std::shared_ptr<dispatch::ManualQueue> main_ = std::make_shared<dispatch::ManualQueue>("main");
  std::unique_ptr<dispatch::ManualQueue::Presence> onMain_;
};

TEST_F(ConfigurationHandlerTest, CurrentLanguageIsTheSettingElseAPreferredOfferedLanguageElseTheDefault) {
  struct Case {
    const char* name;
    const char* settings;  // nullptr: no file
    std::map<std::string, std::string> variables;
    std::vector<std::string> available;
    const char* expected;
  };
  const std::vector<std::string> offered = {"en-US", "de-DE", "fr-FR"};
  const std::vector<Case> cases = {
      {"stored wins over the session", R"({"ui.language": "fr-FR"})", {{"LANG", "de_DE.UTF-8"}}, offered, "fr-FR"},
      {"stored but not offered", R"({"ui.language": "nl-NL"})", {{"LANG", "de_DE.UTF-8"}}, offered, "nl-NL"},
      {"stored as a number counts as absent", R"({"ui.language": 5})", {{"LANG", "de_DE.UTF-8"}}, offered, "de-DE"},
      {"stored null counts as absent", R"({"ui.language": null})", {{"LANG", "fr_FR.UTF-8"}}, offered, "fr-FR"},
      {"session locale", nullptr, {{"LANG", "de_DE.UTF-8"}}, offered, "de-DE"},
      {"another region of an offered language", nullptr, {{"LANG", "de_AT.UTF-8"}}, offered, "de-DE"},
      {"LANGUAGE list in order", nullptr, {{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "nl:fr:de"}}, offered, "fr-FR"},
      {"LC_ALL before LANG", nullptr, {{"LANG", "de_DE.UTF-8"}, {"LC_ALL", "fr_FR.UTF-8"}}, offered, "fr-FR"},
      {"LC_MESSAGES before LANG", nullptr, {{"LANG", "fr_FR.UTF-8"}, {"LC_MESSAGES", "de_DE.UTF-8"}}, offered, "de-DE"},
      {"nothing offered matches", nullptr, {{"LANG", "ja_JP.UTF-8"}}, offered, "en-US"},
      {"C locale", nullptr, {{"LANG", "C.UTF-8"}, {"LANGUAGE", "de"}}, offered, "en-US"},
      {"no session languages", nullptr, {}, offered, "en-US"},
      {"no languages offered", nullptr, {{"LANG", "de_DE.UTF-8"}}, {}, "en-US"},
      {"malformed settings file", "{not json", {{"LANG", "fr_FR.UTF-8"}}, offered, "fr-FR"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto h = handler(store(c.settings), environment(c.variables), c.available);
    EXPECT_EQ(h.currentLanguage(), c.expected);
    EXPECT_EQ(h.defaultLanguage(), "en-US") << "the default stays the configured one";
  }
}

TEST_F(ConfigurationHandlerTest, PersistCurrentLanguageStoresTheChoiceOnlyWhenNoneIsStored) {
  {
    auto settings = store();
    auto h = handler(settings, environment(), {});
    h.persistCurrentLanguage();
    EXPECT_EQ(settings->settingString("ui.language"), "en-US");
  }
  EXPECT_EQ(SettingValueStore(folder_ / "app_userSettings.json").settingString("ui.language"), "en-US")
      << "the choice is on disk";

  // Once stored, a new session language does not replace it.
  auto settings = std::make_shared<SettingValueStore>(folder_ / "app_userSettings.json");
  auto h = handler(settings, environment({{"LANG", "de_DE.UTF-8"}}));
  const auto before = fs::last_write_time(folder_ / "app_userSettings.json");
  fs::last_write_time(folder_ / "app_userSettings.json", before - std::chrono::hours(1));
  h.persistCurrentLanguage();
  EXPECT_EQ(settings->settingString("ui.language"), "en-US");
  EXPECT_EQ(fs::last_write_time(folder_ / "app_userSettings.json"), before - std::chrono::hours(1))
      << "an unchanged language is not written again";

  // A value that is no text is replaced by the language the session picks.
  auto numeric = store(R"({"ui.language": 7, "other": true})");
  auto h2 = handler(numeric, environment({{"LANG", "de_DE.UTF-8"}}));
  h2.persistCurrentLanguage();
  EXPECT_EQ(numeric->settingString("ui.language"), "de-DE");
  EXPECT_EQ(numeric->store().at("other").value, Json(true));
}

TEST_F(ConfigurationHandlerTest, VersionLosesOnlyTheNonNumericTextAtItsEnds) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"3.4.0", "3.4.0"},   {"3.4.0-beta", "3.4.0"}, {"3.4.0-beta.1", "3.4.0-beta.1"}, {"v3.4.0", "3.4.0"},
      {"v3.4 (77)", "3.4 (77"}, {"beta", ""},         {"", ""},                          {".9.", ".9."},
  };
  for (const auto& [configured, reported] : cases) {
    SCOPED_TRACE(configured);
    EXPECT_EQ(trimmedVersion(configured), reported);
  }
  EXPECT_EQ(handler(store(), environment()).version(), "3.4.0");
}

TEST_F(ConfigurationHandlerTest, ConfigurationDescribesTheHostAndCarriesEverySettingUnchanged) {
  auto h = handler(store(R"({"ui.language": "de-DE", "list": [1, 2], "deep": {"a": null}})"),
                   environment({{"LANG", "de_AT.UTF-8"}}));
  int calls = 0;
  Configuration built;
  h.configuration([&](Configuration configuration) {
    ++calls;
    built = std::move(configuration);
  });
  ASSERT_EQ(calls, 1) << "the completion runs once, before configuration() returns";

  const Json expected = Json::parse(R"({"configuration": {
    "host": {
      "currentLanguage": "de-DE",
      "deviceModelDescription": "ThinkPad X1 Carbon",
      "deviceType": "desktop",
      "hasUSB": true,
      "hostBuild": "77",
      "hostVersion": "3.4.0",
      "operatingSystemDescription": "Debian GNU/Linux 12 (bookworm), Linux 6.1.0 x86_64",
      "platform": "macos",
      "projectFolderPath": "~/Documents/Example Projects",
      "projectFolderStatus": "needsMigration",
      "region": "AT",
      "supportsReleaseChannels": false
    },
    "userSettings": {
      "ui.language": {"value": "de-DE"},
      "list": {"value": [1, 2]},
      "deep": {"value": {"a": null}}
    }
  }})");
  EXPECT_EQ(unordered(built.jsonObject().value()), unordered(expected));
  EXPECT_EQ(built.host.hostBuild, "77");
}

TEST_F(ConfigurationHandlerTest, MissingFactsFallBackToFixedTexts) {
  auto env = environment({{"LANG", "C"}});
  env.hostBuild = [] { return std::optional<std::string>(); };
  auto h = handler(store(), std::move(env));
  const Json tree = h.configuration().jsonObject().value();
  const Json& host = tree["configuration"]["host"];
  EXPECT_EQ(host["hostBuild"], "");
  EXPECT_EQ(host["region"], "unknown");
  EXPECT_EQ(host["currentLanguage"], "en-US");
  EXPECT_EQ(tree["configuration"]["userSettings"], Json::object());

  h.setDeviceModel("Fixed Model");
  EXPECT_EQ(h.configuration().host.deviceModelDescription, "Fixed Model");
}

TEST_F(ConfigurationHandlerTest, ServiceSendsTheConfigurationAsOneNotification) {
  auto h = handler(store(R"({"a": 1})"), environment());
  std::vector<RPCMessage> sent;
  LoopBack interface([&](RPCMessage message) { sent.push_back(std::move(message)); });
  h.configuration([&](Configuration configuration) {
    ConfigurationService::sendConfigurationChanged(std::move(configuration), interface);
  });
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].kind(), RPCMessage::Case::notification);
  const auto* notification = sent[0].notification();
  ASSERT_NE(notification, nullptr);
  EXPECT_EQ(notification->kind(), RPC::Notification::Case::configurationChanged);
  EXPECT_EQ(notification->payload<Configuration>(), h.configuration());
}

}  // namespace
}  // namespace kestrom

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "KestromKit/storage/HostEnvironment.h"
#include "tests/support/TempFolder.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;

HostEnvironment::Lookup variables(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
    auto found = values.find(name);
    if (found == values.end() || found->second.empty()) return std::nullopt;
    return found->second;
  };
}

class HostEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.empty());
    environment_.osReleaseFile = folder_ / "os-release";
    environment_.osReleaseFallbackFile = folder_ / "usr-lib-os-release";
    environment_.kernelDescription = [] { return "Linux 6.1.0-18-amd64 x86_64"; };
  }

  test::TempFolder temp_{"kestrom-hostenv"};
  const fs::path& folder_ = temp_.path();
  HostEnvironment environment_;
};

TEST_F(HostEnvironmentTest, OperatingSystemDescriptionComesFromOsReleaseAndTheKernel) {
  struct Case {
    const char* name;
    const char* primary;   // nullptr: no file
    const char* fallback;  // nullptr: no file
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"pretty name", "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n", nullptr,
       "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64 x86_64"},
      {"name and version", "# a comment\nNAME=Fedora\nVERSION='39 (Workstation)'\n", nullptr,
       "Fedora 39 (Workstation), Linux 6.1.0-18-amd64 x86_64"},
      {"escapes", "PRETTY_NAME=\"My \\\"Own\\\" OS \\\\ 1\"\n", nullptr, "My \"Own\" OS \\ 1, Linux 6.1.0-18-amd64 x86_64"},
      {"fallback file", nullptr, "PRETTY_NAME=\"Arch Linux\"\n", "Arch Linux, Linux 6.1.0-18-amd64 x86_64"},
      {"no file at all", nullptr, nullptr, "Linux, Linux 6.1.0-18-amd64 x86_64"},
      {"empty pretty name", "PRETTY_NAME=\"\"\nNAME=Alpine\n", nullptr, "Alpine, Linux 6.1.0-18-amd64 x86_64"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(environment_.osReleaseFile);
    fs::remove(environment_.osReleaseFallbackFile);
    if (c.primary) std::ofstream(environment_.osReleaseFile) << c.primary;
    if (c.fallback) std::ofstream(environment_.osReleaseFallbackFile) << c.fallback;
    EXPECT_EQ(environment_.operatingSystemDescription(), c.expected);
  }
}

TEST_F(HostEnvironmentTest, LanguagesAndRegionComeFromTheLocaleVariables) {
  struct Case {
    std::map<std::string, std::string> variables;
    std::vector<std::string> languages;
    std::optional<std::string> region;
  };
  const std::vector<Case> cases = {
      {{}, {}, std::nullopt},
      {{{"LANG", "de_AT.UTF-8"}}, {"de-AT"}, "AT"},
      {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "fr_FR.UTF-8"}}, {"fr-FR"}, "FR"},
      {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "fr_FR"}, {"LC_ALL", "sv_SE.UTF-8"}}, {"sv-SE"}, "SE"},
      {{{"LANG", "en_GB.UTF-8"}, {"LANGUAGE", "de:fr_CA::en"}}, {"de", "fr-CA", "en", "en-GB"}, "GB"},
      {{{"LANG", "C.UTF-8"}, {"LANGUAGE", "de"}}, {}, std::nullopt},  // C switches LANGUAGE off
      {{{"LANG", "POSIX"}}, {}, std::nullopt},
      {{{"LANG", "ca_ES@valencia"}}, {"ca-ES"}, "ES"},
      {{{"LANG", "es_419.UTF-8"}}, {"es-419"}, "419"},
      {{{"LANG", "sr_Latn"}}, {"sr-Latn"}, std::nullopt},  // a script, not a region
      {{{"LANG", "de"}}, {"de"}, std::nullopt},
      {{{"LANGUAGE", "it"}}, {"it"}, std::nullopt},
      {{{"LANG", "en_US"}, {"LANGUAGE", "en_US:en"}}, {"en-US", "en"}, "US"},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const auto& [name, value] : c.variables) trace += name + "=" + value + " ";
    SCOPED_TRACE(trace);
    environment_.getenv = variables(c.variables);
    EXPECT_EQ(environment_.preferredLanguages(), c.languages);
    EXPECT_EQ(environment_.regionCode(), c.region);
  }
}

TEST(PreferredLocalizationTest, PicksTheFirstPreferenceTheConfigurationOffers) {
  struct Case {
    std::vector<std::string> available;
    std::vector<std::string> preferences;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {{"en-US", "de-DE"}, {"de-DE"}, "de-DE"},
      {{"en-US", "de-DE"}, {"fr-FR", "de-AT"}, "de-DE"},  // the first preference with any match wins
      {{"en-US", "de-DE"}, {"de-AT", "en-US"}, "de-DE"},  // a language match beats a later exact one
      {{"de-DE", "de"}, {"de-AT"}, "de"},                  // the bare language before a sibling region
      {{"en-GB", "en-US"}, {"en-US"}, "en-US"},
      {{"en-GB", "en-US"}, {"en"}, "en-GB"},
      {{"pt_br", "pt-PT"}, {"pt-BR"}, "pt_br"},  // letter case and separator ignored, configured text kept
      {{"en-US"}, {"fr"}, std::nullopt},
      {{}, {"en-US"}, std::nullopt},
      {{"en-US"}, {}, std::nullopt},
      {{"zh-Hans", "zh-Hant"}, {"zh-Hant"}, "zh-Hant"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.available) + " for " + ::testing::PrintToString(c.preferences));
    EXPECT_EQ(preferredLocalization(c.available, c.preferences), c.expected);
  }
}

TEST(HostEnvironmentSystemTest, RealSourcesGiveTextsAndNeverFail) {
  auto environment = HostEnvironment::system();
  EXPECT_FALSE(environment.operatingSystemDescription().empty());
  EXPECT_NE(environment.operatingSystemDescription().find("Linux"), std::string::npos);
  EXPECT_FALSE(environment.deviceModel().empty());
  (void)environment.preferredLanguages();
  (void)environment.regionCode();
  (void)environment.hostBuild();
}

}  // namespace
}  // namespace kestrom

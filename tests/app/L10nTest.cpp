#include "app/L10n.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/app/TestBundle.h"

namespace kestrom::app {
namespace {

using testing::plist;
using testing::TempBundle;

TEST(L10nTest, LooksUpTheSampleBundlesTablesByPreferredLanguage) {
  bundle::Bundle sample(testing::sampleBundle());
  struct Case {
    std::vector<std::string> preferred;
    std::string language;
    std::string fileTitle;
  };
  const Case cases[] = {
      {{"de-DE"}, "de", "Ablage"},
      {{"de_AT"}, "de", "Ablage"},
      {{"fr-FR", "de-CH"}, "de", "Ablage"},
      {{"en-GB"}, "en", "File"},
      {{"fr-FR"}, "en", "File"},  // nothing matches: the development language
      {{}, "en", "File"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language + " " + std::to_string(c.preferred.size()));
    auto l10n = L10n::load(sample, c.preferred);
    EXPECT_EQ(l10n.language(), c.language);
    EXPECT_EQ(l10n.tr("menu.file.title"), c.fileTitle);
  }
}

TEST(L10nTest, BothSampleTablesHoldEveryKeyOfTheNamespace) {
  bundle::Bundle sample(testing::sampleBundle());
  for (const char* language : {"en", "de"}) {
    SCOPED_TRACE(language);
    auto table = bundle::readPropertyList(sample.resourceURL() / (std::string(language) + ".lproj/Localizable.strings"));
    ASSERT_TRUE(table) << table.error();
    EXPECT_EQ(table->size(), 52u);
    for (const char* key : {"bluetooth.turnOnDialog.ok", "bluetooth.turnOnDialog.message",
                            "bluetooth.turnOnDialog.informative", "menu.view.exit_fullscreen", "menu.help.item"}) {
      EXPECT_TRUE(table->contains(key)) << key;
    }
  }
}

TEST(L10nTest, AMissingKeyReadsAsTheKeyAndDoublePercentAsPercent) {
  TempBundle bundle;
  bundle.write("en.lproj/Localizable.strings",
               plist("<dict><key>a</key><string>100%% sure</string><key>b</key><string>%d stays</string>"
                     "<key>c</key><integer>3</integer></dict>"));
  auto l10n = L10n::load(bundle::Bundle(bundle.path()), {});
  EXPECT_EQ(l10n.tr("a"), "100% sure");
  EXPECT_EQ(l10n.tr("b"), "%d stays");
  EXPECT_EQ(l10n.tr("c"), "c");  // not a string
  EXPECT_EQ(l10n.tr("menu.unknown"), "menu.unknown");
}

TEST(L10nTest, ABundleWithoutTablesAnswersKeys) {
  TempBundle bundle;
  auto l10n = L10n::load(bundle::Bundle(bundle.path()), {"de-DE"});
  EXPECT_EQ(l10n.language(), "");
  EXPECT_EQ(l10n.tr("menu.file.title"), "menu.file.title");
}

TEST(L10nTest, ReplacesEveryNamePlaceholder) {
  EXPECT_EQ(replacingName("About", "Kestrom"), "About");
  EXPECT_EQ(replacingName("About {{name}}", "Kestrom"), "About Kestrom");
  EXPECT_EQ(replacingName("{{name}} and {{name}}", "K"), "K and K");
  EXPECT_EQ(replacingName("{{name}}", "{{name}}"), "{{name}}");  // no endless loop
  EXPECT_EQ(replacingName("{{nam}}", "K"), "{{nam}}");
}

TEST(L10nTest, ExpandsPreferredLanguagesIntoFolderCandidates) {
  EXPECT_EQ(languageFolderCandidates({"de-DE", "en"}), (std::vector<std::string>{"de-DE", "de_DE", "de", "en"}));
}

class EnvironmentGuard {
 public:
  EnvironmentGuard() {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
      ::unsetenv(name);
    }
  }
  ~EnvironmentGuard() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name, value->c_str(), 1);
      } else {
        ::unsetenv(name);
      }
    }
  }

 private:
  static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(L10nTest, ReadsPreferredLanguagesFromTheEnvironment) {
  struct Case {
    const char* language;
    const char* lcAll;
    const char* lang;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, "de_DE.UTF-8", {"de-DE"}},
      {"fr:de_AT", nullptr, "en_US.UTF-8", {"fr", "de-AT", "en-US"}},
      {"fr", nullptr, "C", {}},  // LANGUAGE counts only with a real locale
      {nullptr, "de_CH.UTF-8@euro", "en_US.UTF-8", {"de-CH"}},
      {nullptr, nullptr, "POSIX", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lang);
    EnvironmentGuard guard;
    if (c.language) ::setenv("LANGUAGE", c.language, 1);
    if (c.lcAll) ::setenv("LC_ALL", c.lcAll, 1);
    if (c.lang) ::setenv("LANG", c.lang, 1);
    EXPECT_EQ(preferredLanguagesFromEnvironment(), c.expected);
  }
}

}  // namespace
}  // namespace kestrom::app

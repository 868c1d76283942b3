// The share picker's entries and what each does, over a recording share layer.

#include "app/SharePicker.h"

#include <gtest/gtest.h>

#include "platform/share/FakeShare.h"

namespace kestrom::app {
namespace {

TEST(SharePickerTest, OffersEmailOnlyWhenItCanBeComposedThenShowInFolder) {
  share::FakeShare share;
  auto entries = shareEntries(share);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].title, "E-mail");
  EXPECT_EQ(entries[1].title, "Show in Folder");

  share.emailAvailable = false;
  entries = shareEntries(share);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].kind, ShareEntry::Kind::showInFolder);
}

TEST(SharePickerTest, EachEntryHandsTheProjectFileToItsService) {
  share::FakeShare share;
  EXPECT_TRUE(performShare(share, ShareEntry::Kind::email, {"/home/u/Projects/a.kpr"}));
  EXPECT_TRUE(performShare(share, ShareEntry::Kind::showInFolder, {"/home/u/Projects/b.kpr"}));
  EXPECT_FALSE(performShare(share, ShareEntry::Kind::email, {}));
  EXPECT_EQ(share.emailed, std::vector<std::filesystem::path>{"/home/u/Projects/a.kpr"});
  EXPECT_EQ(share.shown, std::vector<std::filesystem::path>{"/home/u/Projects/b.kpr"});
  share.emailAvailable = false;
  EXPECT_FALSE(performShare(share, ShareEntry::Kind::email, {"/home/u/Projects/a.kpr"}));
}

}  // namespace
}  // namespace kestrom::app

#include "platform/bundle/PropertyList.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/bundle/Bundle.h"

namespace kestrom::bundle {
namespace {

std::string plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>";
}

TEST(PropertyListTest, ReadsEveryXmlValueKindInOrder) {
  auto value = parsePropertyList(plist(
      "<dict><key>z</key><string>last in name, first in file</string>"
      "<key>yes</key><true/><key>no</key><false/>"
      "<key>int</key><integer>42</integer><key>negative</key><integer>-7</integer>"
      "<key>real</key><real>0.25</real>"
      "<key>data</key><data>aGVsbG8=</data>"
      "<key>date</key><date>2001-01-01T00:00:10Z</date>"
      "<key>list</key><array><string>a</string><dict/></array></dict>"));
  ASSERT_TRUE(value) << value.error();
  auto expected = PropertyListValue::parse(R"({"z":"last in name, first in file","yes":true,"no":false,
      "int":42,"negative":-7,"real":0.25,"data":"aGVsbG8=","date":"2001-01-01T00:00:10.000Z",
      "list":["a",{}]})");
  EXPECT_EQ(*value, expected);
  EXPECT_EQ(value->begin().key(), "z");
}

TEST(PropertyListTest, RefusesWhatIsNotAPropertyList) {
  for (const char* text : {"", "not xml at all", "<plist version=\"1.0\"><dict><key>a</key>", "{\"json\": true}"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parsePropertyList(text));
  }
  EXPECT_FALSE(readPropertyList("/nonexistent/file.plist"));
}

TEST(BundleTest, FindsRegularFilesAndReadsInfo) {
  std::string pattern = (std::filesystem::temp_directory_path() / "bundle-test.XXXXXX").string();
  std::filesystem::path folder = ::mkdtemp(pattern.data());
  std::filesystem::create_directories(folder / "variant/web");
  std::filesystem::create_directories(folder / "folder.plist");
  std::ofstream(folder / "variant/web/splash.html") << "<html>";
  std::ofstream(folder / "Info.plist") << plist(
      "<dict><key>CFBundleDisplayName</key><string>Name</string><key>BuiltForAppstore</key><false/>"
      "<key>Number</key><integer>1</integer></dict>");
  Bundle bundle(folder);
  EXPECT_EQ(bundle.url("variant/web/splash", "html"), folder / "variant/web/splash.html");
  EXPECT_EQ(bundle.url("variant/web/missing", "html"), std::nullopt);
  EXPECT_EQ(bundle.url("folder", "plist"), std::nullopt);  // a folder is no resource
  EXPECT_EQ(bundle.infoString("CFBundleDisplayName"), "Name");
  EXPECT_EQ(bundle.infoString("Number"), std::nullopt);
  EXPECT_EQ(bundle.infoBool("BuiltForAppstore"), false);
  EXPECT_EQ(bundle.infoBool("Missing"), std::nullopt);
  std::filesystem::remove_all(folder);

  Bundle empty("/nonexistent");
  EXPECT_TRUE(empty.infoDictionary().is_object());
  EXPECT_TRUE(empty.infoDictionary().empty());
}

TEST(BundleTest, AnInstalledProgramFindsItsBundleUnderShare) {
  EXPECT_EQ(installedBundleLocation("/usr/local/bin/kestrom"), "/usr/local/share/kestrom/bundle");
}

}  // namespace
}  // namespace kestrom::bundle

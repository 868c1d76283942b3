// The static-file lookup: its order, its language variants and what it refuses to serve.

#include <sys/stat.h>

#include <string>
#include <vector>

#include "KestromKit/server/ContentServing.h"
#include "tests/server/ContentFolders.h"

#include <sys/resource.h>
#include <unistd.h>

namespace kestrom {
namespace {

using Kind = WebServerResponse::Kind;

class StaticFileServingTest : public testing::ContentFolders {
 protected:
  /// The body served for `path`, or "404".
  std::string served(const WebServerRequest& r) {
    auto response = serveStaticFile(r, content);
    if (response.kind() == Kind::notFound) return "404";
    EXPECT_EQ(response.kind(), Kind::ok);
    return bodyOf(response);
  }
  std::string served(const std::string& path) { return served(request(path)); }
};

TEST_F(StaticFileServingTest, AnswersWithTheContentTypeOfTheRequestPathOnly) {
  write(webroot / "index.html", "<html>");
  auto response = serveStaticFile(request("/index.html"), content);
  ASSERT_EQ(response.kind(), Kind::ok);
  EXPECT_EQ(response.headers(), (WebServerHeaders{{"Content-Type", "text/html"}}));
  EXPECT_EQ(bodyOf(response), "<html>");
  // The type follows the requested name even when a language variant was served.
  write(content / "de-DE" / "data.json", "{}");
  auto r = request("/content/fr-FR/data.json");
  r.defaultLanguage = "de-DE";
  EXPECT_EQ(serveStaticFile(r, content).headerValue("Content-Type"), "application/json");
}

TEST_F(StaticFileServingTest, TriesTheCandidatesInTheirOrder) {
  write(webroot / "index.html", "web");
  write(prepacked / "index.html", "prepacked");
  EXPECT_EQ(served("/index.html"), "web");

  write(content / "en-US" / "both.json", "downloaded");
  write(prepacked / "en-US" / "both.json", "prepacked");
  EXPECT_EQ(served("/content/en-US/both.json"), "downloaded");

  // Found only in the prepacked content, without its "/content/" segment; the unrewritten
  // prepacked path comes before the default-language variant.
  write(prepacked / "en-US" / "x.json", "prepacked en");
  write(prepacked / "de-DE" / "x.json", "prepacked de");
  auto r = request("/content/en-US/x.json");
  r.defaultLanguage = "de-DE";
  EXPECT_EQ(served(r), "prepacked en");

  // Downloaded content in the default, then the fallback language, before any prepacked file.
  write(content / "de-DE" / "y.json", "downloaded de");
  write(content / "en-GB" / "y.json", "downloaded gb");
  write(prepacked / "fr-FR" / "y.json", "prepacked fr");
  r = request("/content/fr-FR/y.json");
  r.defaultLanguage = "de-DE";
  r.fallbackLanguage = "en-GB";
  EXPECT_EQ(served(r), "downloaded de");
  std::filesystem::remove(content / "de-DE" / "y.json");
  EXPECT_EQ(served(r), "downloaded gb");
  std::filesystem::remove(content / "en-GB" / "y.json");
  EXPECT_EQ(served(r), "prepacked fr");
  std::filesystem::remove(prepacked / "fr-FR" / "y.json");
  EXPECT_EQ(served(r), "404");

  // Prepacked language variants, the default first.
  write(prepacked / "en-GB" / "z.json", "prepacked gb");
  r = request("/content/fr-FR/z.json");
  r.fallbackLanguage = "en-GB";
  EXPECT_EQ(served(r), "prepacked gb");
  write(prepacked / "en-US" / "z.json", "prepacked us");
  EXPECT_EQ(served(r), "prepacked us");

  // A path ending in a language folder is rewritten too.
  write(content / "docs" / "en-US", "language file");
  EXPECT_EQ(served("/docs/fr-FR"), "language file");
}

TEST_F(StaticFileServingTest, ServesAbsolutePathsOnlyInsideHandedOutFolders) {
  write(handedOut / "rec" / "take.wav", "recording");
  write(outside / "secret.txt", "secret");
  EXPECT_EQ(served((handedOut / "rec" / "take.wav").string()), "recording");
  EXPECT_EQ(served((outside / "secret.txt").string()), "404");
  EXPECT_EQ(served("/etc/passwd"), "404");
  auto r = request((handedOut / "rec" / "take.wav").string());
  r.handedOutFolders.clear();
  EXPECT_EQ(served(r), "404");
}

TEST_F(StaticFileServingTest, RefusesTraversalLinksAndWhatIsNotARegularFile) {
  write(outside / "secret.txt", "secret");
  write(webroot / "sub" / "page.html", "page");
  std::filesystem::create_symlink(outside / "secret.txt", webroot / "link.txt");
  std::filesystem::create_symlink(outside, content / "en-US");
  ASSERT_EQ(::mkfifo((webroot / "fifo").c_str(), 0600), 0);

  const std::vector<std::string> refused{
      "/../outside/secret.txt",
      "/sub/../../outside/secret.txt",
      "/content/../../outside/secret.txt",
      "/./sub/page.html",
      "/sub//page.html",
      "//sub/page.html",
      "/sub/",
      "/sub",
      "/link.txt",
      "/content/en-US/secret.txt",
      "/fifo",
      (handedOut / ".." / "outside" / "secret.txt").string(),
      std::string("/sub/page.html\0x", 16),
  };
  for (const auto& path : refused) {
    SCOPED_TRACE(path);
    EXPECT_EQ(served(path), "404");
  }
  EXPECT_EQ(served("/sub/page.html"), "page");

  // A language from the configuration is a single folder name or nothing.
  auto r = request("/content/fr-FR/secret.txt");
  r.defaultLanguage = "../outside";
  r.fallbackLanguage = "..";
  EXPECT_EQ(served(r), "404");
}

TEST_F(StaticFileServingTest, RewritesOnlyLanguageFolders) {
  const std::vector<std::pair<std::string, std::string>> table{
      {"/en-US/x.json", "/de-DE/x.json"},
      {"/a/en-US/b/en-GB/c", "/a/de-DE/b/de-DE/c"},
      {"/a/en-US", "/a/de-DE"},
      {"/en-US/fr-FR/x", "/de-DE/fr-FR/x"},  // matches do not overlap; the slash went with the first
      {"/en-us/x", "/en-us/x"},
      {"/EN-US/x", "/EN-US/x"},
      {"/eng-US/x", "/eng-US/x"},
      {"/xen-US/x", "/xen-US/x"},
      {"en-US/x", "en-US/x"},
      {"", ""},
  };
  for (const auto& [path, rewritten] : table) {
    SCOPED_TRACE(path);
    EXPECT_EQ(rewriteLanguage(path, "de-DE"), rewritten);
  }
}

TEST_F(StaticFileServingTest, AContentFolderReplacedByARenameIsServedFromItsNewFilesAtOnce) {
  write(content / "en-US" / "both.json", "old");
  EXPECT_EQ(served("/content/en-US/both.json"), "old");
  // As a restore or an update puts a new folder in place: the old one aside, the new one renamed in.
  const auto fresh = root / "fresh";
  write(fresh / "en-US" / "both.json", "new");
  std::filesystem::rename(content, root / "aside");
  std::filesystem::rename(fresh, content);
  EXPECT_EQ(served("/content/en-US/both.json"), "new");
}

TEST_F(StaticFileServingTest, AFileThatCannotBeOpenedForWantOfDescriptorsIsUnavailableNotMissing) {
  write(webroot / "index.html", "<html>");
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // The next descriptor would be `lowest`: a limit of exactly that makes every open fail (EMFILE).
  int lowest = ::dup(0);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  rlimit tight{static_cast<rlim_t>(lowest), saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  auto starved = serveStaticFile(request("/index.html"), content).kind();
  auto missing = serveStaticFile(request("/nothing.html"), content).kind();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(starved, Kind::serviceUnavailable);
  EXPECT_EQ(missing, Kind::notFound);  // known to be absent without opening anything
  EXPECT_EQ(serveStaticFile(request("/index.html"), content).kind(), Kind::ok);
  EXPECT_EQ(WebServerResponse::serviceUnavailable().statusText(), "503 SERVICE UNAVAILABLE");
}

}  // namespace
}  // namespace kestrom

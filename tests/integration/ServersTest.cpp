// The headless host's servers under abuse that should cost it nothing lasting: a multipart bomb,
// and a kill in the middle of a save.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/integration/HostPage.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/RawHttp.h"

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

/// The host's peak resident memory so far (VmHWM), in KiB.
long peakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST(ServersTest, AMultipartBombIsRefusedInBoundedMemory) {
  TemporaryHome home;
  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  const long before = peakResidentKiB(host.pid());

  // Four million empty parts: 44 MB of body.
  // The boundary parameter is the delimiter less its leading "--".
  const std::string part = "\r\n\r\n\r\n------bomb";
  std::string body = "------bomb";
  body.reserve(body.size() + part.size() * 4'000'000 + 4);
  for (int i = 0; i < 4'000'000; ++i) body += part;
  body += "--\r\n";
  auto answer = rawHttp(static_cast<std::uint16_t>(host.httpPort()),
                        makeHttpRequest("POST", "/content/tmp/bomb/file.bin",
                                        {{"Content-Type", "multipart/form-data; boundary=----bomb"},
                                         {"Cookie", host.cookie()}},
                                        body),
                        60s);
  EXPECT_EQ(answer.status, 413);
  const long after = peakResidentKiB(host.pid());
  std::printf("peak resident memory %ld KiB before, %ld KiB after a %zu byte bomb\n", before, after, body.size());
  // The body is spooled to disk and parsing stops at the part limit: no multiple of the body.
#if defined(KESTROM_SANITIZE_ADDRESS)
  constexpr long kBoundKiB = 256L * 1024;  // AddressSanitizer keeps freed memory in its quarantine
#else
  constexpr long kBoundKiB = 64L * 1024;
#endif
  EXPECT_LT(after - before, kBoundKiB);

  Page page(host);  // still serving
  page.request("1", "/ping");
  EXPECT_TRUE(page.replyTo("1"));
}

TEST(ServersTest, AKillInTheMiddleOfASettingsSaveLeavesNoStrayFileAfterTheNextStart) {
  TemporaryHome home;
  fs::path dataFolder;
  std::string settingsName;
  {
    HostProcess host(home.path);
    ASSERT_TRUE(host.running()) << host.errorOutput();
    Page page(host);
    ASSERT_TRUE(page.connected());
    page.request("0", "/settings/save", {{"settings", {{"kept", {{"value", "yes"}}}}}});
    ASSERT_TRUE(page.replyTo("0"));
    for (const auto& entry : fs::recursive_directory_iterator(home.path))
      if (entry.path().filename().string().ends_with("userSettings.json")) {
        dataFolder = entry.path().parent_path();
        settingsName = entry.path().filename().string();
      }
    ASSERT_FALSE(dataFolder.empty());
    // Saves in flight when the host dies; and, whatever the timing, the file such a kill leaves.
    for (int i = 0; i < 4; ++i)
      page.request("s" + std::to_string(i), "/settings/save",
                   {{"settings", {{"big", {{"value", std::string(900 * 1000, 'a' + i)}}}}}});
    std::this_thread::sleep_for(5ms);
    host.kill();
  }
  std::ofstream(dataFolder / ("." + settingsName + ".tmp-0123456789ab")) << "{\"half\": ";
  std::vector<fs::path> strays;
  auto collect = [&] {
    strays.clear();
    for (const auto& entry : fs::directory_iterator(dataFolder))
      if (entry.path().filename().string().find(".tmp-") != std::string::npos) strays.push_back(entry.path());
  };
  collect();
  ASSERT_FALSE(strays.empty());

  HostProcess host(home.path);
  ASSERT_TRUE(host.running()) << host.errorOutput();
  Page page(host);
  page.request("1", "/configuration/request");
  Json settings;
  while (auto frame = page.next()) {
    if (frame->value("method", "") == "/configuration/changed")
      settings = frame->at("params").at("configuration").at("userSettings");
    if (frame->contains("id") && frame->at("id") == "1") break;
  }
  EXPECT_EQ(settings.at("kept"), Json::parse(R"({"value":"yes"})"));
  collect();
  EXPECT_TRUE(strays.empty()) << strays.front();
  // Nor does the killed host's secret file outlive the next start.
  std::vector<fs::path> secrets;
  for (const auto& entry : fs::directory_iterator(host.secretFile().parent_path())) secrets.push_back(entry.path());
  EXPECT_EQ(secrets, std::vector<fs::path>{host.secretFile()});
}

}  // namespace
}  // namespace kestrom::test

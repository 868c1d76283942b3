// The page's requests while a large project is saved: the headless host receives a 300 MB
// project over HTTP (a real archive, which the host reads back before it keeps it) while one page
// connection keeps a "/ping" in flight and asks "/projects/list" every 50 ms, as the page does. The
// worst "/ping" round trip during the save is compared with the worst one of the same loop on the
// idle host for as long, in the same run.
//
//   project_save_ping [megabytes]     (default 300)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/archive/Archive.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/RawHttp.h"
#include "tests/support/WSTestClient.h"

namespace {

using namespace kestrom;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
  std::size_t pings = 0;
  double median = 0, worst = 0;
  bool failed = false;
};

/// One page connection: "/ping" after "/ping", one in flight, and a "/projects/list" every 50 ms
/// whose answer is not waited for. Runs until `stop` holds (or for `duration` when given).
Figures pingWhile(test::WSTestClient& page, const std::function<bool()>& stop) {
  std::vector<double> ms;
  std::size_t next = 0;
  auto lastList = Clock::now() - 1s;
  while (!stop()) {
    if (Clock::now() - lastList >= 50ms) {
      lastList = Clock::now();
      if (!page.sendText(R"({"id":"list)" + std::to_string(next) + R"(","method":"/projects/list","jsonrpc":"2.0"})"))
        return {0, 0, 0, true};
    }
    const std::string id = std::to_string(next++);
    const std::string marker = R"("id":")" + id + '"';
    const auto sent = Clock::now();
    if (!page.sendText(R"({"id":")" + id + R"(","method":"/ping","params":{"values":{}},"jsonrpc":"2.0"})"))
      return {0, 0, 0, true};
    bool answered = false;
    while (auto text = page.readText())
      if (text->find(marker) != std::string::npos) {
        answered = true;
        break;
      }
    if (!answered) return {0, 0, 0, true};
    ms.push_back(millis(Clock::now() - sent));
  }
  Figures figures;
  if (ms.empty()) return figures;
  std::sort(ms.begin(), ms.end());
  figures.pings = ms.size();
  figures.median = ms[ms.size() / 2];
  figures.worst = ms.back();
  return figures;
}

/// The bytes of a project archive of about `megabytes` MB: a manifest and entries of at most 100 MiB
/// (the host saves no entry it would not answer), stored, as the page sends them.
std::optional<std::string> projectArchive(const std::filesystem::path& file, std::size_t megabytes) {
  const std::string manifest = R"({"id":"big","name":"Big","type":"python"})";
  const std::string filler(std::min<std::size_t>(megabytes << 20, std::size_t{100} << 20), 'P');
  std::vector<archive::NewEntry> entries{{"manifest.json", manifest}};
  for (std::size_t left = megabytes << 20; left > 0;) {
    const std::size_t size = std::min(left, filler.size());
    entries.push_back({"data" + std::to_string(entries.size()) + ".bin", std::string_view(filler).substr(0, size)});
    left -= size;
  }
  if (!archive::writeArchive(file, entries)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
  test::TemporaryHome home;
  test::HostProcess host(home.path);
  if (!host.running()) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.errorOutput().c_str());
    return 1;
  }
  test::WSTestClient page;
  if (!page.connect(host.wsPort(), std::map<std::string, std::string>{{"Cookie", host.cookie()}})) {
    std::fprintf(stderr, "could not connect to the host\n");
    return 1;
  }

  const std::string boundary = "----KestromBenchBoundary";
  std::string body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nBig\r\n--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"Big.kpr\"\r\n"
                     "Content-Type: application/zip\r\n\r\n";
  const auto project = projectArchive(home.path / "Big.kpr", megabytes);
  if (!project) {
    std::fprintf(stderr, "could not build the project archive\n");
    return 1;
  }
  body += *project;
  body += "\r\n--" + boundary + "--\r\n";
  const std::string request = test::makeHttpRequest(
      "POST", "/projects/big",
      {{"Host", "127.0.0.1:" + std::to_string(host.httpPort())}, {"Cookie", host.cookie()},
       {"Content-Type", "multipart/form-data; boundary=" + boundary}},
      body);
  body.clear();
  body.shrink_to_fit();

  // Warm up: one small round of the loop.
  const auto warm = Clock::now() + 500ms;
  (void)pingWhile(page, [&] { return Clock::now() >= warm; });

  // The save first, for its duration; then the same loop on the idle host for as long.
  std::atomic<bool> saved{false};
  int status = 0;
  const auto saveStart = Clock::now();
  std::thread upload([&] {
    test::RawHttpConnection connection(static_cast<std::uint16_t>(host.httpPort()));
    if (connection.send(request)) status = connection.readResponse(600s).status;
    saved = true;
  });
  const Figures during = pingWhile(page, [&] { return saved.load(); });
  upload.join();
  const auto saveTime = Clock::now() - saveStart;
  const auto idleEnd = Clock::now() + saveTime;
  const Figures idle = pingWhile(page, [&] { return Clock::now() >= idleEnd; });

  if (status != 200 || during.failed || idle.failed || during.pings == 0 || idle.pings == 0) {
    std::fprintf(stderr, "the run failed: save answered %d, pings %zu / %zu\n%s\n", status, during.pings, idle.pings,
                 host.errorOutput().c_str());
    return 1;
  }
  std::printf("save of %zu MB over HTTP: %.0f ms (answered %d)\n", megabytes, millis(saveTime), status);
  std::printf("\"/ping\" during the save: %zu round trips, median %.3f ms, worst %.3f ms (goal < 50 ms: %s)\n",
              during.pings, during.median, during.worst, during.worst < 50 ? "met" : "missed");
  std::printf("\"/ping\" on the idle host, as long: %zu round trips, median %.3f ms, worst %.3f ms\n", idle.pings,
              idle.median, idle.worst);
  std::printf("worst during the save / worst idle: %.2fx\n", during.worst / std::max(idle.worst, 0.001));
  return 0;
}

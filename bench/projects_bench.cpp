// Projects: listing 1,000 indexed projects, saving and loading a 1 MiB project over the local
// HTTP server, and rewriting a manifest, each beside `zip`/`unzip` (or `find`) doing the same
// work on the same files. Runs in a temporary HOME; prints one line per figure.
//
//   build/kitbench/bench/projects_bench [rounds]

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "KestromKit/server/WebServer.h"
#include "KestromKit/storage/ProjectRoute.h"
#include "KestromKit/storage/ProjectsHandler.h"
#include "platform/archive/Archive.h"
#include "tests/support/RawHttp.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace kestrom;
using Clock = std::chrono::steady_clock;

struct Figures {
  double median = 0, max = 0;
};

Figures measure(int rounds, const std::function<void()>& work) {
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    work();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.back()};
}

/// Runs a command with its output thrown away and waits for it.
void run(const std::vector<std::string>& command, const fs::path& workingFolder = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> words = command;
  if (!workingFolder.empty()) words = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", workingFolder.string()};
  if (!workingFolder.empty()) words.insert(words.end(), command.begin(), command.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot run %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void line(const char* what, Figures ours, Figures tool, const char* toolName) {
  std::printf("%-58s ours %8.3f ms (max %8.3f)   %-14s %8.3f ms (max %8.3f)   ratio %.2f\n", what, ours.median,
              ours.max, toolName, tool.median, tool.max, ours.median / tool.median);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 31;
  std::string pattern = (fs::temp_directory_path() / "kestrom-projects-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const fs::path home = pattern;
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);

  const fs::path folder = home / "Projects";
  fs::create_directories(folder);
  auto store = std::make_shared<ProjectInfoStore>(home / "availableProjects.json");
  store->load();
  auto handler = std::make_shared<ProjectsHandler>(nullptr, "Projects", "kpr", store, false);
  const auto& library = handler->library();
  library->changeProjectFolder(folder, false);

  auto archiveBytes = [&](const std::string& id, const std::string& content) {
    const std::string manifest = R"({"id":")" + id + R"(","name":"Project )" + id + R"(","type":"python"})";
    std::vector<archive::NewEntry> entries{{"manifest.json", manifest}, {"main.py", content}, {"icon.svg", "<svg/>"}};
    const auto scratch = home / "scratch.zip";
    if (!archive::writeArchive(scratch, entries)) std::exit(1);
    return readAll(scratch);
  };

  // 1,000 indexed projects.
  for (int i = 0; i < 1000; ++i) {
    const std::string id = "p" + std::to_string(i);
    if (!library->saveProject(id, "Project " + std::to_string(i), archiveBytes(id, "print(" + std::to_string(i) + ")")))
      return 1;
  }
  std::size_t listed = 0;
  auto list = measure(rounds, [&] { listed = library->requestAllProjects().size(); });
  auto find = measure(rounds, [&] { run({"find", folder.string(), "-name", "*.kpr", "-printf", "%s %T@ %p\n"}); });
  if (listed != 1000) std::fprintf(stderr, "listed %zu projects\n", listed);
  line("list 1,000 projects (find -printf: the same attributes)", list, find, "find");

  // One 1 MiB project over HTTP.
  std::string content(1 << 20, '\0');
  std::mt19937 random(7);
  for (auto& c : content) c = static_cast<char>('a' + random() % 26);
  const std::string big = archiveBytes("big", content);
  const std::string boundary = "----KestromBenchBoundary";
  const std::string body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nBig\r\n--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"blob\"\r\n"
                           "Content-Type: application/zip\r\n\r\n" + big + "\r\n--" + boundary + "--\r\n";
  const std::string request = test::makeHttpRequest(
      "POST", "/projects/big", {{"Content-Type", "multipart/form-data; boundary=" + boundary}}, body);

  WebServerServices services;
  services.projects = std::make_shared<ProjectRouteHandler>(handler);
  services.temporaryFolder = home;
  WebServer server(std::move(services), false);
  server.start(0);
  for (int i = 0; i < 5000 && !server.port(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto port = static_cast<std::uint16_t>(server.port().value_or(0));

  int failures = 0;
  auto save = measure(rounds, [&] { failures += test::rawHttp(port, request).status != 200; });
  auto direct = measure(rounds, [&] { failures += !library->saveProject("big", "Big", big); });
  const fs::path files = home / "files";
  fs::create_directories(files);
  writeAll(files / "manifest.json", R"({"id":"big","name":"Big","type":"python"})");
  writeAll(files / "main.py", content);
  writeAll(files / "icon.svg", "<svg/>");
  auto zip = measure(rounds, [&] {
    fs::remove(home / "zipped.kpr");
    run({"zip", "-q", "-0", "-X", (home / "zipped.kpr").string(), "manifest.json", "main.py", "icon.svg"}, files);
  });
  line("save a 1 MiB project over HTTP (zip -0: write the archive)", save, zip, "zip");
  line("save a 1 MiB project, the handler alone (same)", direct, zip, "zip");

  const std::string entryRequest = test::makeHttpRequest("GET", "/projects/big/main.py");
  auto load = measure(rounds, [&] { failures += test::rawHttp(port, entryRequest).body.size() != content.size(); });
  const fs::path saved = folder / "Big.kpr";
  auto unzip = measure(rounds, [&] { run({"unzip", "-p", saved.string(), "main.py"}); });
  line("load its 1 MiB entry over HTTP (unzip -p)", load, unzip, "unzip");

  const fs::path copy = home / "copy.kpr";
  fs::copy_file(saved, copy);
  const std::string manifest = R"({"id":"other","name":"Copy","type":"python"})";
  auto replace = measure(rounds, [&] {
    failures += !archive::replaceEntry(copy, "manifest.json", manifest, archive::IfMissing::fail);
  });
  writeAll(files / "manifest.json", manifest);
  auto update = measure(rounds, [&] { run({"zip", "-q", "-0", copy.string(), "manifest.json"}, files); });
  line("rewrite the manifest of a 1 MiB project (zip update)", replace, update, "zip");

  server.stop();
  std::error_code ignored;
  fs::remove_all(home, ignored);
  if (failures) std::fprintf(stderr, "%d requests failed\n", failures);
  return failures ? 1 : 0;
}

// Saves one project over and over (alternating two names, so renames happen too) until it is
// killed. The crash-safety test runs it with HOME pointing into its temporary folder:
//   projects_crash_child <index file> <project folder> <ready file>
// Every round writes the archive bytes "round N" into "main.py".

#include <cstdio>
#include <string>

#include "KestromKit/storage/ProjectLibrary.h"
#include "platform/archive/Archive.h"

int main(int argc, char** argv) {
  using namespace kestrom;
  if (argc != 4) return 2;
  auto store = std::make_shared<ProjectInfoStore>(argv[1]);
  store->load();
  ProjectLibrary library("Projects", "kpr", store, false, nullptr, nullptr);
  library.changeProjectFolder(std::filesystem::path(argv[2]), false);
  std::string bytes[2];
  for (int i = 0; i < 2; ++i) {
    const std::string scratch = std::string(argv[2]) + "/../scratch-" + std::to_string(i) + ".zip";
    const std::string manifest = R"({"id":"crash","name":"Robot"})";
    const std::string content = "round " + std::to_string(i);
    std::vector<archive::NewEntry> entries{{"manifest.json", manifest}, {"main.py", content}};
    if (!archive::writeArchive(scratch, entries)) return 3;
    std::FILE* in = std::fopen(scratch.c_str(), "rb");
    char buffer[65536];
    for (std::size_t n; in && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) bytes[i].append(buffer, n);
    if (in) std::fclose(in);
  }
  for (unsigned long round = 0;; ++round) {
    const int which = static_cast<int>(round % 2);
    const char* name = (round / 2) % 2 ? "Robot B" : "Robot";
    if (!library.saveProject("crash", name, bytes[which])) return 4;
    // Ready once the first save is whole, however slow this build is: every kill then lands in
    // a later save (or between two).
    if (round == 0)
      if (std::FILE* ready = std::fopen(argv[3], "w")) std::fclose(ready);
  }
}

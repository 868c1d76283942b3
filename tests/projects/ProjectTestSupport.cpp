#include "tests/projects/ProjectTestSupport.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>

#include <gtest/gtest.h>

#include "KestromKit/base/Constants.h"
#include "KestromKit/rpc/RPCMessage.h"
#include "platform/archive/Archive.h"

namespace kestrom::test {

namespace fs = std::filesystem;

namespace {
fs::path& homeFolder() {
  static fs::path folder;
  return folder;
}
}  // namespace

const fs::path& home() { return homeFolder(); }

std::string projectBytes(const std::string& id, const std::string& name, const std::string& content, bool withIcon) {
  const std::string manifest = nlohmann::json{{"id", id}, {"name", name}, {"type", "python"}}.dump();
  const std::string icon = "<svg xmlns=\"http://www.w3.org/2000/svg\"/>";
  std::vector<archive::NewEntry> entries{{"manifest.json", manifest}, {"main.py", content}};
  if (withIcon) entries.push_back({"icon.svg", icon});
  TempFolder scratch;
  const auto file = scratch / "p.zip";
  if (!archive::writeArchive(file, entries)) ADD_FAILURE() << "cannot build a project archive";
  return readFile(file);
}

std::string projectWithZeros(const std::string& id, const std::vector<std::pair<std::string, std::uint64_t>>& zeros) {
  TempFolder scratch;
  const auto file = scratch / "p.zip";
  int failure = 0;
  zip_t* archive = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &failure);
  if (!archive) {
    ADD_FAILURE() << "cannot build a project archive";
    return {};
  }
  const std::string manifest = nlohmann::json{{"id", id}, {"name", id}, {"type", "python"}}.dump();
  zip_file_add(archive, "manifest.json", zip_source_buffer(archive, manifest.data(), manifest.size(), 0), 0);
  for (std::size_t i = 0; i < zeros.size(); ++i) {
    const auto source = scratch / std::to_string(i);  // sparse: no room, no memory
    const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(zeros[i].second)) != 0) ADD_FAILURE() << "cannot make " << source;
    ::close(fd);
    const auto added = zip_file_add(archive, zeros[i].first.c_str(), zip_source_file(archive, source.c_str(), 0, -1), 0);
    if (added < 0 || zip_set_file_compression(archive, static_cast<zip_uint64_t>(added), ZIP_CM_DEFLATE, 1) != 0)
      ADD_FAILURE() << "cannot add " << zeros[i].first;
  }
  if (zip_close(archive) != 0) ADD_FAILURE() << "cannot write a project archive";
  return readFile(file);
}

void writeProject(const fs::path& path, const std::string& id, const std::string& name, const std::string& content) {
  fs::create_directories(path.parent_path());
  writeFile(path, projectBytes(id, name, content));
}

std::string projectContent(const fs::path& path) {
  auto content = archive::readEntry(path, "main.py", 1 << 20);
  return content ? *content : std::string();
}

std::string fileText(const WebServerOpenFile& file) {
  std::string bytes(static_cast<std::size_t>(file.size()), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto n = ::pread(file.fd(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

std::string bodyText(const EntryBody& body) { return body.file ? fileText(*body.file) : body.bytes; }

nlohmann::json manifestOf(const fs::path& path) {
  auto manifest = archive::readEntry(path, "manifest.json", 1 << 20);
  return manifest ? nlohmann::json::parse(*manifest, nullptr, false) : nlohmann::json();
}

void RecordingInterface::send(RPC::Response response) { send(RPCMessage(std::move(response))); }

void RecordingInterface::send(RPCMessage message) {
  auto frame = RPC::messageFrame(message);
  std::lock_guard lock(mutex_);
  if (frame) frames_.push_back(nlohmann::json::parse(*frame));
}

std::vector<nlohmann::json> RecordingInterface::frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

HandlerFixture::HandlerFixture() {
  static std::atomic<int> counter{0};
  root = home() / ("case-" + std::to_string(counter++));
  folder = root / "Projects";
  indexFile = root / "availableProjects.json";
  fs::create_directories(folder);
  dispatch::installMainQueue(main);
  onMain = std::make_unique<dispatch::ManualQueue::Presence>(*main);
  handler = makeHandler();
  library = handler->library();
  library->changeProjectFolder(folder, false);
}

std::shared_ptr<ProjectsHandler> HandlerFixture::makeHandler() {
  store = std::make_shared<ProjectInfoStore>(indexFile);
  store->load();
  return std::make_shared<ProjectsHandler>(page, "Projects", kExtension, store, false, defaults,
                                           std::make_shared<ids::FakeIdGenerator>());
}

HandlerFixture::~HandlerFixture() {
  onMain.reset();
  dispatch::installMainQueue(nullptr);
  std::error_code ignored;
  fs::remove_all(root, ignored);
}

nlohmann::json HandlerFixture::indexJSON() const { return nlohmann::json::parse(readFile(indexFile), nullptr, false); }

fs::path HandlerFixture::fileOf(const std::string& id) const {
  auto reference = store->queue()->syncValue([&] { return store->reference(id); });
  return reference ? Constants::expandTildePath(reference->filePath) : fs::path();
}

}  // namespace kestrom::test

int main(int argc, char** argv) {
  // Everything the host derives from the user's folders must land in this run's own home.
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrom-projects-home-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 2;
  kestrom::test::homeFolder() = pattern;
  ::setenv("HOME", pattern.c_str(), 1);
  ::setenv("XDG_DATA_HOME", (pattern + "/.local/share").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (pattern + "/.config").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (pattern + "/.cache").c_str(), 1);
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return result;
}

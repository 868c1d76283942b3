// A process killed at any point of a save leaves the project whole (old or new) and the index
// readable.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "KestromKit/base/Constants.h"
#include "KestromKit/storage/ProjectInfoStore.h"
#include "tests/projects/ProjectTestSupport.h"
#include "tests/support/TimeFactor.h"

extern char** environ;

namespace kestrom::test {
namespace {

namespace fs = std::filesystem;

TEST(ProjectsCrashSafety, AKilledSaveLeavesTheProjectWholeAndTheIndexReadable) {
  TempFolder scratch;
  const auto index = scratch / "availableProjects.json";
  const auto folder = scratch / "Projects";
  const auto ready = scratch / "ready";
  fs::create_directories(folder);
  std::mt19937 random(std::random_device{}());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  // The child's private temporary folder is left behind when it is killed: keep it in scratch.
  std::vector<std::string> variables{"TMPDIR=" + scratch.path().string()};
  for (char** e = environ; *e; ++e)
    if (std::string_view(*e).rfind("TMPDIR=", 0) != 0) variables.emplace_back(*e);
  std::vector<char*> environment;
  for (auto& variable : variables) environment.push_back(variable.data());
  environment.push_back(nullptr);
  int rounds = 0, sawSaves = 0;
  for (; rounds < 100 && std::chrono::steady_clock::now() < deadline; ++rounds) {
    fs::remove(ready);
    std::string indexArg = index.string(), folderArg = folder.string(), readyArg = ready.string();
    char* argv[] = {const_cast<char*>(KESTROM_CRASH_CHILD), indexArg.data(), folderArg.data(), readyArg.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, KESTROM_CRASH_CHILD, nullptr, nullptr, argv, environment.data()), 0);
    for (int i = 0; i < 2000 && !fs::exists(ready); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 15000)(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself with " << WEXITSTATUS(status);

    // The index parses, and the project it names is a whole archive of one of the two rounds.
    ProjectInfoStore store(index);
    store.load();
    EXPECT_FALSE(fs::exists(scratch / "availableProjects.json.corrupt")) << "round " << rounds;
    auto reference = store.queue()->syncValue([&] { return store.reference("crash"); });
    if (!reference) continue;  // killed before the first save finished
    ++sawSaves;
    const auto file = Constants::expandTildePath(reference->filePath);
    const auto content = projectContent(file);
    EXPECT_TRUE(content == "round 0" || content == "round 1") << "round " << rounds << ": " << file;
  }
  // A plain build runs every round within the minute, a slower build its share of them; most must
  // have killed a save after the first one was whole.
  EXPECT_GE(rounds, 100 / kTimeFactor);
  EXPECT_GT(sawSaves, rounds / 2);
  ProjectInfoStore store(index);
  store.load();
  auto reference = store.queue()->syncValue([&] { return store.reference("crash"); });
  ASSERT_TRUE(reference);
  EXPECT_TRUE(unzipTestPasses(Constants::expandTildePath(reference->filePath)));
}

}  // namespace
}  // namespace kestrom::test

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/crash/CrashReporter.h"

namespace kestrom::crash {
namespace {

TEST(CrashReporterTest, AFatalSignalLeavesAReportAndStillEndsTheProcess) {
  auto pattern = (std::filesystem::temp_directory_path() / "kestrom-crash-XXXXXX").string();
  std::filesystem::path folder = mkdtemp(pattern.data());
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    start(folder / "logs");
    raise(SIGSEGV);
    _exit(0);  // not reached
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);

  std::ifstream report(folder / "logs" / ("crash-" + std::to_string(child) + ".log"));
  ASSERT_TRUE(report.good());
  std::stringstream text;
  text << report.rdbuf();
  EXPECT_NE(text.str().find("Fatal signal 11"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("#"), std::string::npos) << "no stack frames: " << text.str();
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace kestrom::crash

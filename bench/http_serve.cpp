// Serves one folder with the host's HTTP server, for load tests against other servers
// (bench/http_vs_nginx.sh): the folder is the web root, its "content" sub-folder the downloaded
// content. Prints the port on the first line of standard output, then serves until SIGINT or SIGTERM.
//
//   http_serve FOLDER

#include <signal.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "tests/support/FolderContent.h"
#include "KestromKit/server/ContentManifestSource.h"
#include "KestromKit/server/WebServer.h"
#include "platform/log/Log.h"

namespace {

using namespace kestrom;

class PortPrinter final : public WebServerDelegate {
 public:
  void webServerDidStart(std::int32_t port) override {
    std::printf("%d\n", port);
    std::fflush(stdout);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::filesystem::path folder = std::filesystem::absolute(argv[1]);

  // The main thread only waits for the signal; every other thread leaves it to the main thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  WebServerServices services;
  services.webroot = folder;
  services.content = std::make_shared<test::FolderContent>(folder / "content");
  services.temporaryFolder = std::filesystem::temp_directory_path();
  auto delegate = std::make_shared<PortPrinter>();
  WebServer server(std::move(services), false);
  server.setDelegate(delegate);
  server.start(0);

  int received = 0;
  sigwait(&signals, &received);
  server.stop();
  return 0;
}
